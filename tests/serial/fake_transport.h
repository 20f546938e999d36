// A stand-in for the USB transport below the serial port: an in-process function driver that
// answers the pipe creates, holds 64-byte reads until the test feeds bytes, takes or refuses
// writes as scripted, and records every request the port sends down. The port is tested
// through it without the transport driver or USB.
#pragma once

#include "platform/kernel.h"
#include "include/cardrw_ioctl.h"

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace serial_test {

using Bytes = std::vector<uint8_t>;

// One request the port sent down, in arrival order.
struct LowerRequest {
    enum Kind { Create, Read, Write, ControlOut, ResetPipe, OtherControl, Other } kind = Other;
    std::u16string pipe;          // file name of the request's file object ("if0pipe1"), if any
    ULONG code = 0;               // device-control code; major function for Other
    ControlRequestHeader header{};// ControlOut
    Bytes data;                   // ControlOut data after the header; Write bytes
    NTSTATUS answer = STATUS_SUCCESS;
};

// What the transport does with one write.
struct WriteStep {
    enum Action { Accept, Refuse, Hold } action = Accept;
    NTSTATUS status = STATUS_SUCCESS;   // Refuse: the immediate status
};

class FakeTransport {
public:
    static constexpr const char16_t* kService = u"SerialTestTransport";

    // Registers the driver's entry point under kService (once per process).
    static void Install();
    static FakeTransport& Get();

    // Forgets recordings and scripts; called by the fixture for every test.
    void Reset();

    // ---- Receive pipe ----
    // Bytes the device sends; a held read takes up to its length at once, later reads the rest.
    void Feed(const Bytes& bytes);
    // The held read ends with 'status' and no data.
    void FailHeldRead(NTSTATUS status);
    // The next 'count' reads fail at once with 'status'.
    void FailReads(NTSTATUS status, int count);
    // Waits (simulated) until a read is held with no bytes left to deliver: the port has taken
    // everything fed so far into its ring.
    void WaitReadParked();
    size_t ReadsHeld();

    // ---- Transmit pipe ----
    void ScriptWrites(const std::vector<WriteStep>& steps);   // then every write is accepted
    void WaitWriteHeld();                     // at least one write is held
    void WaitWritesHeld(size_t count);        // at least 'count' writes are held
    // Completes the oldest held write: 'information' bytes reported as sent.
    void CompleteHeldWrite(NTSTATUS status, ULONG_PTR information);
    Bytes WrittenBytes();    // bytes of every accepted write, in order

    // ---- Control ----
    void FailControlOut(NTSTATUS status);   // every control transfer from now on
    std::vector<USHORT> ControlLineWords();
    std::vector<Bytes> LineCodings();
    size_t Count(LowerRequest::Kind kind);
    std::vector<LowerRequest> Requests();
    void ClearRequests();

    // Dispatch entry points of the fake driver.
    static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp);

private:
    FakeTransport();
    NTSTATUS OnCreate(PIRP irp);
    NTSTATUS OnRead(PIRP irp);
    NTSTATUS OnWrite(PIRP irp);
    NTSTATUS OnControl(PIRP irp);
    NTSTATUS OnPnp(PDEVICE_OBJECT device, PIRP irp);
    void Record(const LowerRequest& request);
    void DeliverLocked(PIRP* complete, ULONG_PTR* information);
    void UpdateParkedLocked();
    static void CancelRead(PDEVICE_OBJECT device, PIRP irp);
    static void CancelWrite(PDEVICE_OBJECT device, PIRP irp);

    std::mutex lock_;
    std::vector<LowerRequest> requests_;
    std::deque<uint8_t> pending_;       // fed bytes not yet delivered
    PIRP heldRead_ = nullptr;
    std::deque<PIRP> heldWrites_;       // oldest first
    int failReads_ = 0;
    NTSTATUS failReadStatus_ = STATUS_SUCCESS;
    std::deque<WriteStep> writeScript_;
    NTSTATUS controlStatus_ = STATUS_SUCCESS;
    bool gone_ = false;                 // surprise-removed: I/O fails as on an unplugged device
    Bytes written_;
    std::vector<std::u16string> bound_; // pipe names bound by a first create
    KEVENT readParked_;
    KEVENT writeHeld_;

public:
    // A new device of the fake driver: no pipe is bound yet and the device is present.
    void Attached();
};

} // namespace serial_test
