// Demonstration of the card reader/writer host software on the simulated Windows platform.
//
// The real drivers, CardRwUsb (USB transport) and CardRwCom (the COM port above it), are loaded
// by the simulated Plug and Play manager for the simulated card reader/writer, installed the way
// the INF installs them. The program then does what an application does with the port, through
// the Win32 serial API, prints each step and what the device saw, pulls the device out with the
// port open, and ends with the verifier's report. It exits with 1 when any step goes wrong.
#include "sim/kernel/include/sim_app.h"
#include "sim/kernel/include/sim_kernel.h"
#include "sim/kernel/include/sim_pnp.h"
#include "sim/usb/include/usb_bus.h"

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

using sim::usb::Bytes;
using sim::usb::CardReaderModel;

const char16_t kHardwareId[] = u"USB\\Vid_3f7b&Pid_0a51&MI_00";
const char kCommand[] = "STATUS?\r";
const char kReply[] = "READY\r\n";
const char kSwipedCard[] = "%B4000123412341234^DOE/JOHN^2812?\r";

// =====================================================================================
// Printing
// =====================================================================================
void Step(int number, const char *title) { std::printf("\n%d. %s\n", number, title); }

void Say(const char *who, const std::string &what) { std::printf("   %-8s %s\n", who, what.c_str()); }

std::string Narrow(const std::u16string &text) {
    std::string out;
    for (char16_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

// Bytes as a C string literal: printable characters as they are, the rest escaped.
std::string Quoted(const Bytes &bytes) {
    std::string out = "\"";
    for (UCHAR c : bytes) {
        char escaped[8];
        if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n";
        else if (c >= 0x20 && c < 0x7F) out += static_cast<char>(c);
        else {
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            out += escaped;
        }
    }
    return out + "\"";
}

Bytes BytesOf(const char *text) { return Bytes(text, text + std::char_traits<char>::length(text)); }

// "5 (ERROR_ACCESS_DENIED)" for the errors an application meets here.
std::string ErrorText(DWORD error) {
    const char *name = "";
    switch (error) {
    case ERROR_ACCESS_DENIED: name = " (ERROR_ACCESS_DENIED: the port is being removed)"; break;
    case ERROR_FILE_NOT_FOUND: name = " (ERROR_FILE_NOT_FOUND: no such port)"; break;
    case ERROR_NOT_READY: name = " (ERROR_NOT_READY: the device is not connected)"; break;
    case ERROR_OPERATION_ABORTED: name = " (ERROR_OPERATION_ABORTED)"; break;
    default: break;
    }
    return std::to_string(error) + name;
}

// SET_LINE_CODING's 8 bytes: rate (little-endian), stop bits, parity, data bits.
std::string LineCodingText(const Bytes &coding) {
    if (coding.size() != 8) return "(" + std::to_string(coding.size()) + " bytes)";
    static const char *stops[] = {"1 stop bit", "1.5 stop bits", "2 stop bits"};
    static const char *parities[] = {"no parity", "odd parity", "even parity", "mark parity", "space parity"};
    ULONG rate = coding[0] | coding[1] << 8 | coding[2] << 16 | static_cast<ULONG>(coding[3]) << 24;
    char hex[40];
    std::snprintf(hex, sizeof hex, "%02X %02X %02X %02X %02X %02X %02X", coding[0], coding[1], coding[2], coding[3],
                  coding[4], coding[5], coding[6]);
    return std::string(hex) + " = " + std::to_string(rate) + " baud, " + std::to_string(coding[6]) + " data bits, " +
           (coding[5] < 5 ? parities[coding[5]] : "parity ?") + ", " + (coding[4] < 3 ? stops[coding[4]] : "stop ?");
}

// SET_CONTROL_LINE_STATE's wValue: bit 0 DTR, bit 1 RTS.
std::string ControlLinesText(USHORT state) {
    std::string lines = (state & 2) ? "RTS on" : "RTS off";
    lines += (state & 1) ? ", DTR on" : ", DTR off";
    return std::to_string(state) + " (" + lines + ")";
}

// =====================================================================================
// The verifier's findings
// =====================================================================================
// Every finding is printed as it happens and counted; the demo fails when there is one.
std::mutex g_findingsLock;
std::vector<std::string> g_findings;

void OnVerifierFinding(const std::string &message) {
    std::printf("   VERIFIER %s\n", message.c_str());
    std::lock_guard<std::mutex> guard(g_findingsLock);
    g_findings.push_back(message);
}

size_t DriverFindings() {
    std::lock_guard<std::mutex> guard(g_findingsLock);
    return g_findings.size();
}

// =====================================================================================
// The story
// =====================================================================================
struct Demo {
    std::shared_ptr<CardReaderModel> model;
    std::shared_ptr<sim::usb::UsbDevice> usb;
    sim::DeviceNode *node = nullptr;
    std::u16string com;
    HANDLE port = INVALID_HANDLE_VALUE;
    // How many line codings and control-line states the device had seen after the open and
    // after the settings, to tell in step 5 which call caused which.
    size_t codingsAtOpen = 0, linesAtOpen = 0, codingsAtSettings = 0, linesAtSettings = 0;
};

bool Fail(const std::string &what) {
    std::printf("   FAILED   %s (last error %u)\n", what.c_str(), GetLastError());
    return false;
}

// The device answers the status command; every other command it only records.
void ProgramDevice(CardReaderModel &model) {
    model.SetCommandHandler([](const Bytes &command) {
        return command == BytesOf(kCommand) ? BytesOf(kReply) : Bytes{};
    });
}

bool PlugIn(Demo &demo) {
    Step(1, "Plug in the card reader/writer");
    sim::InstallServiceModule(u"CardRwUsb", CARDRW_USB_MODULE);
    sim::InstallServiceModule(u"CardRwCom", CARDRW_COM_MODULE);
    sim::InstallHardwareId(kHardwareId, u"CardRwUsb", {u"CardRwCom"}, u"Ports");
    Say("setup", "installed for " + Narrow(kHardwareId) + ": CardRwUsb (function driver), CardRwCom (upper filter)");
    demo.model = std::make_shared<CardReaderModel>();
    ProgramDevice(*demo.model);
    demo.usb = sim::usb::PlugIn(demo.model);
    demo.node = demo.usb != nullptr ? demo.usb->Node() : nullptr;
    if (demo.node == nullptr || sim::StateOf(demo.node) != sim::DeviceNodeState::Started)
        return Fail("the device's stack did not start");
    demo.com = sim::RegistryGetString(sim::HardwareKeyOf(demo.node), u"PortName").value_or(u"");
    Say("pnp", "started " + Narrow(sim::InstancePathOf(demo.node)) + ", the class installer named it " +
                   Narrow(demo.com));
    std::optional<std::u16string> target = sim::SymbolicLinkTarget(u"\\DosDevices\\Global\\" + demo.com);
    if (!target) return Fail("no link for " + Narrow(demo.com));
    Say("port", "\\DosDevices\\Global\\" + Narrow(demo.com) + " -> " + Narrow(*target));
    std::optional<std::u16string> mapped = sim::RegistryGetString(sim::kSerialCommKey, *target);
    if (mapped != demo.com) return Fail("no device-map entry for " + Narrow(*target));
    Say("registry", "HKLM\\HARDWARE\\DEVICEMAP\\SERIALCOMM: \"" + Narrow(*target) + "\" = \"" + Narrow(*mapped) + "\"");
    return true;
}

bool OpenAndSetUp(Demo &demo) {
    Step(2, ("Open " + Narrow(demo.com) + ", set 9600 8N1 and time-outs").c_str());
    std::u16string path = u"\\\\.\\" + demo.com;
    demo.port = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                            nullptr);
    if (demo.port == INVALID_HANDLE_VALUE) return Fail("CreateFileW");
    Say("app", "CreateFileW(\"\\\\.\\" + Narrow(demo.com) + "\") -> a handle (overlapped)");
    demo.codingsAtOpen = demo.model->LineCodings().size();
    demo.linesAtOpen = demo.model->ControlLineStates().size();
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(demo.port, &dcb)) return Fail("GetCommState");
    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    if (!SetCommState(demo.port, &dcb)) return Fail("SetCommState");
    Say("app", "SetCommState: 9600 baud, 8 data bits, no parity, 1 stop bit");
    demo.codingsAtSettings = demo.model->LineCodings().size();
    demo.linesAtSettings = demo.model->ControlLineStates().size();
    COMMTIMEOUTS timeouts{0, 0, 500, 0, 1000};
    if (!SetCommTimeouts(demo.port, &timeouts)) return Fail("SetCommTimeouts");
    Say("app", "SetCommTimeouts: reads wait up to 500 ms, writes up to 1000 ms");
    return true;
}

// A read or write on the overlapped handle, waited for.
BOOL Transfer(HANDLE port, bool write, void *buffer, DWORD length, DWORD *done) {
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    BOOL ok = write ? WriteFile(port, buffer, length, done, &overlapped) : ReadFile(port, buffer, length, done, &overlapped);
    if (!ok && GetLastError() == ERROR_IO_PENDING) ok = GetOverlappedResult(port, &overlapped, done, TRUE);
    DWORD error = GetLastError();
    CloseHandle(overlapped.hEvent);
    SetLastError(error);
    return ok;
}

// Reads until 'expected' bytes arrived or a read brings nothing more.
Bytes ReadAnswer(HANDLE port, size_t expected) {
    Bytes answer;
    while (answer.size() < expected) {
        Bytes buffer(expected - answer.size());
        DWORD got = 0;
        if (!Transfer(port, false, buffer.data(), static_cast<DWORD>(buffer.size()), &got) || got == 0) break;
        answer.insert(answer.end(), buffer.begin(), buffer.begin() + got);
    }
    return answer;
}

bool CommandAndReply(Demo &demo) {
    Step(3, "Write a command, read the device's reply");
    Bytes command = BytesOf(kCommand);
    DWORD written = 0;
    if (!Transfer(demo.port, true, command.data(), static_cast<DWORD>(command.size()), &written))
        return Fail("WriteFile");
    Say("app", "WriteFile " + Quoted(command) + " -> " + std::to_string(written) + " bytes written");
    Bytes reply = ReadAnswer(demo.port, std::char_traits<char>::length(kReply));
    Say("app", "ReadFile -> " + Quoted(reply));
    if (reply != BytesOf(kReply)) return Fail("the reply is not " + Quoted(BytesOf(kReply)));
    return true;
}

bool WaitForReceivedData(Demo &demo) {
    Step(4, "Wait for received data (a card is swiped)");
    if (!SetCommMask(demo.port, EV_RXCHAR)) return Fail("SetCommMask");
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD events = 0;
    BOOL ok = WaitCommEvent(demo.port, &events, &overlapped);
    bool pending = !ok && GetLastError() == ERROR_IO_PENDING;
    Say("app", std::string("SetCommMask(EV_RXCHAR), WaitCommEvent -> ") + (pending ? "pending" : "returned at once"));
    Bytes card = BytesOf(kSwipedCard);
    demo.model->Send(card);
    Say("device", "sends " + Quoted(card));
    DWORD bytes = 0;
    if (pending) ok = GetOverlappedResult(demo.port, &overlapped, &bytes, TRUE);
    CloseHandle(overlapped.hEvent);
    if (!ok || events != EV_RXCHAR) return Fail("WaitCommEvent ended with events " + std::to_string(events));
    Say("app", "WaitCommEvent completed: EV_RXCHAR");
    Bytes data = ReadAnswer(demo.port, card.size());
    Say("app", "ReadFile -> " + Quoted(data));
    if (data != card) return Fail("the card's data did not arrive whole");
    return true;
}

// Which of the application's calls sent the i-th request of a kind.
std::string CauseOf(size_t index, size_t atOpen, size_t atSettings) {
    if (index < atOpen) return "   <- CreateFileW";
    if (index < atSettings) return "   <- SetCommState";
    return "";
}

bool ShowWhatTheDeviceSaw(Demo &demo) {
    Step(5, "What the device saw");
    std::vector<Bytes> codings = demo.model->LineCodings();
    for (size_t i = 0; i < codings.size(); i++)
        Say("device", "SET_LINE_CODING " + LineCodingText(codings[i]) + CauseOf(i, demo.codingsAtOpen,
                                                                                   demo.codingsAtSettings));
    std::vector<USHORT> lines = demo.model->ControlLineStates();
    for (size_t i = 0; i < lines.size(); i++)
        Say("device", "SET_CONTROL_LINE_STATE " + ControlLinesText(lines[i]) +
                          CauseOf(i, demo.linesAtOpen, demo.linesAtSettings));
    Bytes received = demo.model->ReceivedBytes();
    Say("device", "bulk OUT bytes " + Quoted(received));
    Bytes expected9600 = {0x80, 0x25, 0x00, 0x00, 0x00, 0x00, 0x08};
    if (codings.empty() || Bytes(codings.back().begin(), codings.back().begin() + 7) != expected9600)
        return Fail("the device's last line coding is not 9600 8N1");
    if (received != BytesOf(kCommand)) return Fail("the device did not receive the command as sent");
    return true;
}

bool UnplugWithThePortOpen(Demo &demo) {
    Step(6, "Pull the device out while the port is open");
    OVERLAPPED overlapped{};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD events = 0;
    BOOL waiting = !WaitCommEvent(demo.port, &events, &overlapped) && GetLastError() == ERROR_IO_PENDING;
    Say("app", std::string("WaitCommEvent -> ") + (waiting ? "pending" : "returned at once"));
    demo.usb->Unplug();
    demo.usb->WaitForPnp();
    Say("pnp", "surprise removal handled; the application still holds its handle");
    DWORD bytes = 0;
    BOOL ended = GetOverlappedResult(demo.port, &overlapped, &bytes, TRUE);
    CloseHandle(overlapped.hEvent);
    Say("app", std::string("the pending WaitCommEvent ended: ") + (ended ? "events " + std::to_string(events) +
                                                                               (events == EV_BREAK ? " (EV_BREAK)" : "")
                                                                         : "error " + ErrorText(GetLastError())));
    bool linkGone = !sim::SymbolicLinkTarget(u"\\DosDevices\\Global\\" + demo.com);
    bool mapGone = true;
    for (const std::u16string &name : sim::RegistryValueNames(sim::kSerialCommKey))
        if (sim::RegistryGetString(sim::kSerialCommKey, name) == demo.com) mapGone = false;
    Say("port", Narrow(demo.com) + (linkGone && mapGone ? " is withdrawn: no link, no SERIALCOMM entry"
                                                        : " is still published"));
    if (!linkGone || !mapGone) return Fail("the COM name was not withdrawn");

    Bytes data = BytesOf(kCommand);
    DWORD written = 0;
    if (Transfer(demo.port, true, data.data(), static_cast<DWORD>(data.size()), &written))
        return Fail("a write to the removed port succeeded");
    DWORD error = GetLastError();
    Say("app", "WriteFile -> FALSE, GetLastError() = " + ErrorText(error));
    std::u16string path = u"\\\\.\\" + demo.com;
    HANDLE again = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (again != INVALID_HANDLE_VALUE) {
        CloseHandle(again);
        return Fail("the removed port could be opened again");
    }
    Say("app", "CreateFileW(\"\\\\.\\" + Narrow(demo.com) + "\") -> INVALID_HANDLE_VALUE, GetLastError() = " +
                   ErrorText(GetLastError()));
    return error != ERROR_SUCCESS;
}

bool CloseAndRemove(Demo &demo) {
    Step(7, "Close the handle: the removal follows");
    if (!CloseHandle(demo.port)) return Fail("CloseHandle");
    demo.port = INVALID_HANDLE_VALUE;
    Say("app", "CloseHandle -> TRUE");
    sim::PnpResult removal = sim::WaitForRemoval(demo.node);
    if (removal.StatusOf(IRP_MN_REMOVE_DEVICE) != STATUS_SUCCESS) return Fail("the removal failed");
    Say("pnp", "IRP_MN_REMOVE_DEVICE done, the device's stack is gone");
    bool unloaded = sim::LoadedDriver(u"CardRwUsb") == nullptr && sim::LoadedDriver(u"CardRwCom") == nullptr;
    Say("kernel", unloaded ? "CardRwUsb and CardRwCom unloaded" : "a driver is still loaded");
    return unloaded;
}

}  // namespace

int main() {
    std::printf("Card reader/writer demo: the real CardRwUsb and CardRwCom drivers on the simulated Windows platform\n");
    sim::RegisterCurrentThread();
    sim::SetFailureHandler(OnVerifierFinding);

    Demo demo;
    bool ok = PlugIn(demo) && OpenAndSetUp(demo) && CommandAndReply(demo) && WaitForReceivedData(demo) &&
              ShowWhatTheDeviceSaw(demo) && UnplugWithThePortOpen(demo) && CloseAndRemove(demo);
    if (demo.port != INVALID_HANDLE_VALUE) CloseHandle(demo.port);
    if (sim::OpenApplicationHandles() == 0) sim::RemoveAllDevices();
    demo.usb.reset();

    size_t findings = DriverFindings();
    std::printf("\nVerifier: %zu finding(s)%s", findings,
                findings == 0 ? ": no leak, no misuse; both drivers unloaded owning nothing.\n" : ".\n");
    ok = ok && findings == 0;
    std::printf("%s\n", ok ? "Demo finished." : "Demo FAILED.");
    return ok ? 0 : 1;
}
