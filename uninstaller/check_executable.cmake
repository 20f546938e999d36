# Checks the built CardRwUninstall.exe with the mingw-w64 binutils: a GUI-subsystem PE32+ that
# imports the Windows libraries the program uses and whose resources hold the dialog and the
# string tables in English and Japanese, the four icon groups and the manifest.
# Run as: cmake -DEXE=... -DOBJDUMP=... -DWINDRES=... -P check_executable.cmake
execute_process(COMMAND ${OBJDUMP} -p ${EXE} OUTPUT_VARIABLE headers RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "objdump cannot read ${EXE}")
endif()
foreach(expected "Magic[ \t]+020b[ \t]+\\(PE32\\+\\)" "Subsystem[ \t]+00000002[ \t]+\\(Windows GUI\\)"
        "DLL Name: USER32.dll" "DLL Name: KERNEL32.dll" "DLL Name: ADVAPI32.dll"
        "DLL Name: SETUPAPI.dll" "DLL Name: SHLWAPI.dll" "DLL Name: WINSPOOL.DRV")
    if(NOT headers MATCHES "${expected}")
        message(FATAL_ERROR "${EXE}: no match for '${expected}' in its headers")
    endif()
endforeach()

execute_process(COMMAND ${WINDRES} -i ${EXE} -O rc OUTPUT_VARIABLE resources RESULT_VARIABLE failed)
if(failed)
    message(FATAL_ERROR "windres cannot read the resources of ${EXE}")
endif()
foreach(expected
        "LANGUAGE 9, 1\n\n104 DIALOGEX" "LANGUAGE 17, 1\n\n104 DIALOGEX"
        "LANGUAGE 9, 1\n\nSTRINGTABLE[^\n]*\nBEGIN\n  1, \"If you uninstall the driver"
        "LANGUAGE 17, 1\n\nSTRINGTABLE[^\n]*\nBEGIN\n  1, L\"\\\\x30c9"
        "\n103 14 " "\n117 14 " "\n124 14 " "\n125 14 "
        "\n1 24 /\\* RT_MANIFEST \\*/" "requireAdministrator")
    if(NOT resources MATCHES "${expected}")
        message(FATAL_ERROR "${EXE}: no match for '${expected}' in its resources")
    endif()
endforeach()
string(REGEX MATCHALL "RT_MANIFEST" manifests "${resources}")
list(LENGTH manifests manifestCount)
if(NOT manifestCount EQUAL 1)
    message(FATAL_ERROR "${EXE}: ${manifestCount} manifests, expected exactly one")
endif()
