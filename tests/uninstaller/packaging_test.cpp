// The installation information of the serial function, read with the setup service's own INF
// calls: the version entries a driver package needs, the x64 models section and the undecorated
// one the uninstaller reads, both driver files copied to the drivers directory, CardRwUsb as the
// function driver's service and CardRwCom as the upper filter above it.
#include "uninstaller_fixture.h"

#include <fstream>
#include <sstream>

namespace uninstaller_test {
namespace {

class PackagingTest : public UninstallerTest {
protected:
    void SetUp() override
    {
        UninstallerTest::SetUp();
        std::ifstream file(CARDRW_PACKAGING_INF, std::ios::binary);
        std::stringstream contents;
        contents << file.rdbuf();
        sim::user::InstallOemInf(u"oem42.inf", contents.str());
        inf_ = SetupOpenInfFileW(u"oem42.inf", nullptr, INF_STYLE_WIN4, nullptr);
        ASSERT_NE(inf_, INVALID_HANDLE_VALUE);
    }

    void TearDown() override
    {
        if (inf_ != INVALID_HANDLE_VALUE)
            SetupCloseInfFile(inf_);
        UninstallerTest::TearDown();
    }

    // Fields of the first line of a section (with a key: the line with that key); empty when
    // there is no such line. Field 0 is the key.
    std::vector<std::u16string> Line(const char16_t* section, const char16_t* key = nullptr)
    {
        INFCONTEXT line;
        if (!SetupFindFirstLineW(inf_, section, key, &line))
            return {};
        return Fields(&line);
    }

    std::vector<std::vector<std::u16string>> Lines(const char16_t* section)
    {
        std::vector<std::vector<std::u16string>> lines;
        INFCONTEXT line;
        if (!SetupFindFirstLineW(inf_, section, nullptr, &line))
            return lines;
        do {
            lines.push_back(Fields(&line));
        } while (SetupFindNextLine(&line, &line));
        return lines;
    }

    static std::vector<std::u16string> Fields(INFCONTEXT* line)
    {
        std::vector<std::u16string> fields;
        DWORD count = SetupGetFieldCount(line);
        for (DWORD i = 0; i <= count; i++) {
            WCHAR text[512];
            if (!SetupGetStringFieldW(line, i, text, 512, nullptr))
                text[0] = 0;
            fields.push_back(text);
        }
        return fields;
    }

    HINF inf_ = INVALID_HANDLE_VALUE;
};

TEST_F(PackagingTest, VersionSection)
{
    struct Entry {
        const char16_t* Key;
        std::vector<std::u16string> Values;
    };
    const Entry entries[] = {
        { u"Signature", { u"$Windows NT$" } },
        { u"Class", { u"Ports" } },
        { u"ClassGuid", { u"{4D36E978-E325-11CE-BFC1-08002BE10318}" } },
        { u"Provider", { u"Tervalinx" } },
        { u"DriverVer", { u"12/11/2026", u"1.0.0.0" } },
        { u"CatalogFile", { u"CardRwCom.cat" } },
    };
    for (const Entry& entry : entries) {
        auto line = Line(u"Version", entry.Key);
        ASSERT_FALSE(line.empty()) << Narrow(entry.Key);
        EXPECT_EQ(std::vector<std::u16string>(line.begin() + 1, line.end()), entry.Values) << Narrow(entry.Key);
    }
}

// Both model sections carry the device on their first line, the hardware ID as second field.
TEST_F(PackagingTest, ModelsForX64AndForTheUninstaller)
{
    auto manufacturer = Line(u"Manufacturer");
    ASSERT_EQ(manufacturer.size(), 3u);
    EXPECT_EQ(manufacturer[1], u"TervalinxVirtualCOM");
    EXPECT_EQ(manufacturer[2], u"NTamd64");
    for (const char16_t* models : { u"TervalinxVirtualCOM.NTamd64", u"TervalinxVirtualCOM" }) {
        auto line = Line(models);
        ASSERT_EQ(line.size(), 3u) << Narrow(models);
        EXPECT_EQ(line[0], u"Magnetic Card Reader Writer USB");
        EXPECT_EQ(line[1], u"CardRwCom_Install");
        EXPECT_EQ(line[2], u"USB\\Vid_3f7b&Pid_0a51&MI_00");
    }
}

// Every file copied comes from a declared disk and goes to the drivers directory (12).
TEST_F(PackagingTest, BothDriverFilesGoToTheDriversDirectory)
{
    auto copy = Line(u"CardRwCom_Install.NTamd64", u"CopyFiles");
    ASSERT_EQ(copy.size(), 2u);
    std::vector<std::u16string> files;
    for (const auto& line : Lines(copy[1].c_str()))
        files.push_back(line[0].empty() && line.size() > 1 ? line[1] : line[0]);
    EXPECT_EQ(files, (std::vector<std::u16string>{ u"CardRwUsb.sys", u"CardRwCom.sys" }));

    auto disk = Line(u"SourceDisksNames");
    ASSERT_GE(disk.size(), 2u);
    EXPECT_EQ(disk[0], u"1");
    for (const auto& file : files) {
        auto source = Line(u"SourceDisksFiles", file.c_str());
        ASSERT_EQ(source.size(), 2u) << Narrow(file);
        EXPECT_EQ(source[1], u"1");
    }
    EXPECT_EQ(Line(u"DestinationDirs", u"DefaultDestDir").at(1), u"12");
    EXPECT_EQ(Line(u"DestinationDirs", copy[1].c_str()).at(1), u"12");
}

TEST_F(PackagingTest, FunctionDriverAndUpperFilterServices)
{
    auto services = Lines(u"CardRwCom_Install.NTamd64.Services");
    ASSERT_EQ(services.size(), 2u);
    struct Service {
        const char16_t* Name;
        const char16_t* Flags;
        const char16_t* Binary;
    };
    const Service expected[] = {
        { u"CardRwUsb", u"0x00000002", u"\\CardRwUsb.sys" },     // SPSVCINST_ASSOCSERVICE: the function driver
        { u"CardRwCom", u"", u"\\CardRwCom.sys" },
    };
    for (size_t i = 0; i < 2; i++) {
        const auto& line = services[i];
        ASSERT_EQ(line.size(), 4u);
        EXPECT_EQ(line[0], u"AddService");
        EXPECT_EQ(line[1], expected[i].Name);
        EXPECT_EQ(line[2], expected[i].Flags);
        const char16_t* section = line[3].c_str();
        EXPECT_EQ(Line(section, u"ServiceType").at(1), u"1");
        EXPECT_EQ(Line(section, u"StartType").at(1), u"3");
        EXPECT_EQ(Line(section, u"ErrorControl").at(1), u"1");
        std::u16string binary = Line(section, u"ServiceBinary").at(1);
        EXPECT_EQ(binary.substr(0, 4), u"%12%");
        EXPECT_EQ(binary.substr(4), expected[i].Binary);
    }

    auto hardware = Line(u"CardRwCom_Install.NTamd64.HW", u"AddReg");
    ASSERT_EQ(hardware.size(), 2u);
    auto filter = Line(hardware[1].c_str());      // a line without a key: its values from field 1
    ASSERT_FALSE(filter.empty());
    EXPECT_EQ(std::vector<std::u16string>(filter.begin() + 1, filter.end()),
              (std::vector<std::u16string>{ u"HKR", u"", u"UpperFilters", u"0x00010000", u"CardRwCom" }));
}

} // namespace
} // namespace uninstaller_test
