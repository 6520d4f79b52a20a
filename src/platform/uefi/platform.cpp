#include "platform/format.h"
#include "platform/uefi/uefi.h"

namespace korvex::uefi {

// ---- ports, timers, pause ----

uint8_t UefiPorts::in8(uint16_t port) {
    uint8_t value;
    __asm__ volatile("inb %1, %0" : "=a"(value) : "Nd"(port));
    return value;
}

void UefiPorts::out8(uint16_t port, uint8_t value) { __asm__ volatile("outb %0, %1" : : "a"(value), "Nd"(port)); }

namespace {
EFI_EVENT event(TimerId id) { return reinterpret_cast<EFI_EVENT>(id); }
}  // namespace

bool UefiTimers::create(TimerId* id) {
    EFI_EVENT e = nullptr;
    if (firmware.boot->CreateEvent(EVT_TIMER, TPL_CALLBACK, nullptr, nullptr, &e) != EFI_SUCCESS) return false;
    *id = reinterpret_cast<TimerId>(e);
    return true;
}

bool UefiTimers::armRelative(TimerId id, uint64_t units100ns) {
    return firmware.boot->SetTimer(event(id), TimerRelative, units100ns) == EFI_SUCCESS;
}

bool UefiTimers::fired(TimerId id) { return firmware.boot->CheckEvent(event(id)) == EFI_SUCCESS; }

void UefiTimers::cancel(TimerId id) { firmware.boot->SetTimer(event(id), TimerCancel, 0); }

void UefiTimers::close(TimerId id) { firmware.boot->CloseEvent(event(id)); }

void UefiStall::stall(uint64_t microseconds) { firmware.boot->Stall(microseconds); }

// ---- console ----

namespace {

class ConsoleSink final : public format::Sink {
public:
    explicit ConsoleSink(UefiConsole& console) : console_(console) {}
    void put(const char* text, size_t length) override { console_.put(text, length); }

private:
    UefiConsole& console_;
};

}  // namespace

void UefiConsole::vprint(const char* format, va_list args) {
    ConsoleSink sink(*this);
    format::formatv(sink, format, args);
    flush();
    if (log_ != nullptr) log_->flush();
}

void UefiConsole::put(const char* text, size_t length) {
    // A log that fails is no reason to stop a job: the screen still has the text.
    if (log_ != nullptr) log_->write(text, length);
    uint32_t points[2];
    for (size_t i = 0; i < length; ++i) {
        const size_t n = decoder_.feed(static_cast<uint8_t>(text[i]), points);
        for (size_t k = 0; k < n; ++k) putCodePoint(points[k]);
    }
}

void UefiConsole::putCodePoint(uint32_t codePoint) {
    // The firmware console does not return to column 0 on a line feed.
    if (codePoint == '\n') putUnit(u'\r');
    uint16_t units[2];
    const size_t n = encodeUtf16(codePoint, units);
    for (size_t k = 0; k < n; ++k) putUnit(units[k]);
}

void UefiConsole::putUnit(CHAR16 unit) {
    if (used_ == kCapacity) flush();
    buffer_[used_++] = unit;
}

void UefiConsole::flush() {
    if (used_ == 0) return;
    buffer_[used_] = 0;
    system_->ConOut->OutputString(system_->ConOut, buffer_);
    used_ = 0;
}

int UefiConsole::readChar() {
    flush();
    SIMPLE_INPUT_INTERFACE* in = system_->ConIn;
    for (;;) {
        UINTN index = 0;
        if (firmware.boot->WaitForEvent(1, &in->WaitForKey, &index) != EFI_SUCCESS) return -1;
        EFI_INPUT_KEY key;
        const EFI_STATUS status = in->ReadKeyStroke(in, &key);
        if (status == EFI_NOT_READY) continue;
        if (status != EFI_SUCCESS) return -1;
        return key.UnicodeChar;
    }
}

}  // namespace korvex::uefi
