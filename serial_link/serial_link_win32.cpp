// serial_link_win32.cpp - the serial link on the Win32 communications API.
//
// The port is opened for overlapped I/O so that every transfer can be waited
// for with a bound. Each transfer direction has its own OVERLAPPED record tied
// to a manual-reset event; ReadFile and WriteFile reset that event when they
// start a transfer and the driver signals it when the transfer ends, so this
// file never sets or resets an event itself.
//
// The end of a reply is found by the driver: with ReadIntervalTimeout at
// 50 ms and both total time-outs at 0, a read ends 50 ms after the last byte
// it saw, or as soon as the buffer is full, and a read on which nothing
// arrives does not end by itself. The 1,000 ms bound on a receive is ours:
// we wait that long for the read to end, and otherwise cancel it and wait for
// the cancellation to land before handing the buffer back.
#include "serial_link.h"
#include "serial_port_win32.h"

#include <cstring>
#include <new>

namespace {

// What a PortSnapshot holds on Windows.
struct SavedSettings {
    DCB dcb;
    COMMTIMEOUTS timeouts;
};

static_assert(sizeof(SavedSettings) <= sizeof(PortSnapshot::saved),
              "PortSnapshot is too small for a DCB and a COMMTIMEOUTS");
static_assert(sizeof(OVERLAPPED) <= sizeof(TransferSlot::state),
              "TransferSlot is too small for an OVERLAPPED");
static_assert(alignof(OVERLAPPED) <= alignof(TransferSlot),
              "TransferSlot is not aligned for an OVERLAPPED");

// A run uses one port; the table leaves room for a test that opens a few.
constexpr int PORT_TABLE_SIZE = 4;
SerialPort port_table[PORT_TABLE_SIZE];

// The Win32 handle behind a PortHandle, or null when the handle is not one
// of ours or has been closed.
HANDLE os_handle(PortHandle port) {
    for (int i = 0; i < PORT_TABLE_SIZE; ++i) {
        if (port == &port_table[i]) {
            return port_table[i].handle;
        }
    }
    return nullptr;
}

// The OVERLAPPED that create_transfer_events placed in the slot's storage.
// It lives at the start of the slot for as long as the slot is ready, so
// its address stays fixed while a transfer is outstanding.
OVERLAPPED *slot_record(TransferSlot *slot) {
    return std::launder(reinterpret_cast<OVERLAPPED *>(slot->state));
}

int prepare_slot(TransferSlot *slot) {
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (event == nullptr) {
        return -1;
    }
    // Value-initialised: Internal, InternalHigh, Offset and OffsetHigh start
    // at zero. They are left to the driver from here on.
    OVERLAPPED *record = new (slot->state) OVERLAPPED();
    record->hEvent = event;
    slot->ready = true;
    return 0;
}

void release_slot(TransferSlot *slot) {
    if (slot == nullptr || !slot->ready) {
        return;
    }
    CloseHandle(slot_record(slot)->hEvent);
    slot->ready = false;
}

// Cancels the transfer that is outstanding on the record and waits until the
// driver has finished with it. Once this returns, the transfer can no longer
// signal the record's event or touch its buffer. If the transfer completed on
// its own in the meantime, CancelIoEx finds nothing to cancel and the wait
// returns at once; either way the outcome is discarded by the caller.
void cancel_transfer(HANDLE port, OVERLAPPED *record) {
    CancelIoEx(port, record);
    DWORD ignored = 0;
    GetOverlappedResult(port, record, &ignored, TRUE);
}

} // namespace

PortHandle open_port(const char *name) {
    if (name == nullptr) {
        return nullptr;
    }
    SerialPort *entry = nullptr;
    for (int i = 0; i < PORT_TABLE_SIZE && entry == nullptr; ++i) {
        if (port_table[i].handle == nullptr) {
            entry = &port_table[i];
        }
    }
    if (entry == nullptr) {
        return nullptr;
    }
    // Share mode 0: nobody else may hold the port while we drive the device.
    HANDLE handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr) {
        return nullptr;
    }
    entry->handle = handle;
    return entry;
}

int save_port_settings(PortHandle port, PortSnapshot *snapshot) {
    HANDLE handle = os_handle(port);
    if (handle == nullptr || snapshot == nullptr) {
        return -1;
    }
    SavedSettings found;
    std::memset(&found.dcb, 0, sizeof found.dcb);
    found.dcb.DCBlength = sizeof(DCB);
    if (!GetCommState(handle, &found.dcb)) {
        return -1;
    }
    std::memset(&found.timeouts, 0, sizeof found.timeouts);
    if (!GetCommTimeouts(handle, &found.timeouts)) {
        return -1;
    }
    std::memcpy(snapshot->saved, &found, sizeof found);
    return 0;
}

int configure_port(PortHandle port) {
    HANDLE handle = os_handle(port);
    if (handle == nullptr) {
        return -1;
    }
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof(DCB);
    COMMTIMEOUTS timeouts;
    std::memset(&timeouts, 0, sizeof timeouts);
    timeouts.ReadIntervalTimeout = REPLY_GAP_MS;

    if (!GetCommState(handle, &dcb)) {
        return -1;
    }
    // 9600 8N1, no parity checking, no CTS or XON/XOFF flow control. The
    // DSR/DTR/RTS handling and the XON/XOFF limits and characters stay as
    // the driver reports them: the cable to the device decides those.
    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fParity = FALSE;
    dcb.fOutxCtsFlow = FALSE;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    if (!SetCommState(handle, &dcb)) {
        return -1;
    }
    if (!SetCommTimeouts(handle, &timeouts)) {
        return -1;
    }
    return 0;
}

int restore_port_settings(PortHandle port, const PortSnapshot *snapshot) {
    HANDLE handle = os_handle(port);
    if (handle == nullptr || snapshot == nullptr) {
        return -1;
    }
    SavedSettings found;
    std::memcpy(&found, snapshot->saved, sizeof found);
    if (!SetCommState(handle, &found.dcb)) {
        return -1;
    }
    if (!SetCommTimeouts(handle, &found.timeouts)) {
        return -1;
    }
    return 0;
}

int create_transfer_events(TransferSlot *receive_slot, TransferSlot *send_slot) {
    if (receive_slot == nullptr || send_slot == nullptr) {
        return -1;
    }
    if (prepare_slot(receive_slot) != 0) {
        return -1;
    }
    if (prepare_slot(send_slot) != 0) {
        return -1;
    }
    return 0;
}

int close_port(PortHandle port) {
    HANDLE handle = os_handle(port);
    if (handle != nullptr) {
        CloseHandle(handle);
        port->handle = nullptr;
    }
    return 0;
}

int close_transfer_events(TransferSlot *receive_slot, TransferSlot *send_slot) {
    release_slot(receive_slot);
    release_slot(send_slot);
    return 0;
}

int send_text(PortHandle port, TransferSlot *send_slot, const void *bytes, std::size_t count) {
    HANDLE handle = os_handle(port);
    if (handle == nullptr || send_slot == nullptr || !send_slot->ready ||
        (bytes == nullptr && count != 0) || count > MAXDWORD) {
        return -1;
    }
    OVERLAPPED *record = slot_record(send_slot);
    DWORD written = 0;
    if (WriteFile(handle, bytes, static_cast<DWORD>(count), &written, record)) {
        return 0;
    }
    if (GetLastError() != ERROR_IO_PENDING) {
        return -1;
    }
    // A key takes 3 ms at 9600 baud. A send that is still held back after
    // SEND_WAIT_MS (output flow control on a line that never clears) is
    // given up rather than left to hang the run.
    if (WaitForSingleObject(record->hEvent, SEND_WAIT_MS) != WAIT_OBJECT_0) {
        cancel_transfer(handle, record);
        return -1;
    }
    DWORD done = 0;
    return GetOverlappedResult(handle, record, &done, FALSE) ? 0 : -1;
}

std::size_t receive_reply(PortHandle port, TransferSlot *receive_slot, void *buffer,
                          std::size_t capacity) {
    HANDLE handle = os_handle(port);
    if (handle == nullptr || receive_slot == nullptr || !receive_slot->ready || buffer == nullptr ||
        capacity == 0) {
        return 0;
    }
    const DWORD wanted = capacity > MAXDWORD ? MAXDWORD : static_cast<DWORD>(capacity);
    OVERLAPPED *record = slot_record(receive_slot);
    DWORD received = 0;
    // Completes at once only when `wanted` bytes were already queued.
    if (ReadFile(handle, buffer, wanted, &received, record)) {
        return received;
    }
    if (GetLastError() != ERROR_IO_PENDING) {
        return 0;
    }
    if (WaitForSingleObject(record->hEvent, REPLY_WAIT_MS) != WAIT_OBJECT_0) {
        // Nothing, or a reply that has not gone quiet in time. Whatever the
        // read has taken so far is dropped with it.
        cancel_transfer(handle, record);
        return 0;
    }
    DWORD completed = 0;
    if (!GetOverlappedResult(handle, record, &completed, FALSE)) {
        return 0;
    }
    return completed;
}
