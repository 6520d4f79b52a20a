// The services the tool needs from the machine it runs on. Every front end
// (UEFI Shell, Linux, simulator) supplies one implementation of each; the
// core only ever sees these interfaces, received by reference.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

namespace korvex {

// 8-bit x86 I/O port access.
class PortIo {
public:
    virtual uint8_t in8(uint16_t port) = 0;
    virtual void out8(uint16_t port, uint8_t value) = 0;

protected:
    ~PortIo() = default;
};

// One-shot timers with the semantics of UEFI timer events: created, armed
// relative to now in 100 ns units, polled, cancelled and closed. A timer that
// was never armed, or was cancelled, never fires.
using TimerId = uintptr_t;

class Timers {
public:
    virtual bool create(TimerId* id) = 0;                           // CreateEvent(EVT_TIMER)
    virtual bool armRelative(TimerId id, uint64_t units100ns) = 0;  // SetTimer(TimerRelative)
    virtual bool fired(TimerId id) = 0;                             // CheckEvent == EFI_SUCCESS
    virtual void cancel(TimerId id) = 0;                            // SetTimer(TimerCancel, 0)
    virtual void close(TimerId id) = 0;                             // CloseEvent

protected:
    ~Timers() = default;
};

// Busy or blocking pause in microseconds, as UEFI Stall.
class Stall {
public:
    virtual void stall(uint64_t microseconds) = 0;

protected:
    ~Stall() = default;
};

// Standard output and one character of input.
class Console {
public:
    void print(const char* format, ...) __attribute__((format(printf, 2, 3)));
    virtual void vprint(const char* format, va_list args) = 0;
    virtual void flush() = 0;
    // One character from the keyboard or standard input; -1 when none can be had.
    virtual int readChar() = 0;
    // Text the tool did not write itself (a package's unique file name): it
    // may hold any byte but NUL. Printed as it is; a console that writes to a
    // person's terminal shows its control bytes harmlessly instead, so that
    // a package cannot move the cursor, clear the screen or retitle the window.
    // (Inline: a virtual defined in the core, which is built without RTTI,
    // would leave the hosted consoles without the base's type information.)
    virtual void printUntrusted(const char* text) { print("%s", text); }

protected:
    ~Console() = default;
};

enum class SeekFrom : uint8_t { Start, Current, End };

// A buffered byte stream, closed (and destroyed) by close().
class File {
public:
    virtual size_t read(void* buffer, size_t count) = 0;
    virtual size_t write(const void* data, size_t count) = 0;
    // 0 on success, non-zero on failure, like fseek.
    virtual int seek(int64_t offset, SeekFrom whence) = 0;
    // -1 when the position cannot be had, like ftell.
    virtual int64_t tell() = 0;
    virtual int flush() = 0;
    virtual bool eof() = 0;
    virtual bool error() = 0;
    // Flushes, releases the stream and destroys this object; 0 on success.
    virtual int close() = 0;

protected:
    ~File() = default;
};

// An output file that takes its name only when its job keeps it. The data go
// to a temporary file beside the target, whose name starts with the target's
// and says that the data are incomplete; so a job that fails part way neither
// leaves a partial file at the name nor destroys a good file already there.
class StagedFile : public File {
public:
    // Writes out what is pending, makes the data durable and puts the file
    // in place of the target, replacing what is there (a symbolic link is
    // replaced, not followed). False on any failure; the temporary is then
    // deleted and the target is as it was. Destroys this object.
    virtual bool keep() = 0;
    // Deletes the temporary; the target is as it was. Destroys this object.
    virtual void discard() = 0;
    // A staged file closed without a verdict is not kept.
    int close() final {
        discard();
        return 0;
    }

protected:
    ~StagedFile() = default;
};

class FileSystem {
public:
    // mode is one of the stdio stream modes the tool uses: "r", "rb", "wb", "wb+".
    // Names are relative to the current directory. nullptr on failure.
    virtual File* open(const char* name, const char* mode) = 0;
    // A new output file for the target name, empty and open for writing;
    // nullptr when it cannot be created or the name is a folder.
    virtual StagedFile* createStaged(const char* name) = 0;

protected:
    ~FileSystem() = default;
};

class Memory {
public:
    // nullptr on failure; a request for 0 bytes fails.
    virtual void* allocate(size_t size) = 0;
    virtual void release(void* block) = 0;

protected:
    ~Memory() = default;
};

// What a job is changing at the BMC while it holds stop requests: the words
// in which a platform tells the user why a stop must wait.
enum class BmcChange : uint8_t { Update, Restore };

// Requests from outside the run to end it early (on Linux: Ctrl-C, a closed
// terminal, a terminate). A job asks at the boundaries between its exchanges
// with the BMC and, when asked to stop, ends the way its own failure at that
// point would end it. A job that changes the BMC's state (an update's
// transfer, a restore) must not be cut off in the middle: it holds the
// requests from its first state-changing request to its end, and finishes.
class StopRequests {
public:
    // From here on the BMC's state is being changed: requests are held. False
    // when a stop was requested before; then nothing is held, and the job
    // must stop instead of beginning the change.
    virtual bool beginBmcChange(BmcChange change) = 0;
    // The change is over; a request held meanwhile stays requested.
    virtual void endBmcChange() = 0;
    // True when a stop was requested and no change is under way.
    virtual bool stopRequested() = 0;

protected:
    ~StopRequests() = default;
};

// For a platform on which nothing asks a run to stop.
class NeverStop final : public StopRequests {
public:
    bool beginBmcChange(BmcChange) override { return true; }
    void endBmcChange() override {}
    bool stopRequested() override { return false; }
};

// Holds stop requests for as long as it lives, if it could begin the change.
class HeldStops {
public:
    HeldStops(StopRequests& stops, BmcChange change) : stops_(stops), held_(stops.beginBmcChange(change)) {}
    ~HeldStops() {
        if (held_) stops_.endBmcChange();
    }
    HeldStops(const HeldStops&) = delete;
    HeldStops& operator=(const HeldStops&) = delete;
    // False when a stop had been requested: the job must stop, not change the BMC.
    bool held() const { return held_; }

private:
    StopRequests& stops_;
    bool held_;
};

// What one run of the tool is given. Nothing in it is owned by the core.
struct Platform {
    PortIo& ports;
    Timers& timers;
    Stall& stall;
    Console& console;
    FileSystem& files;
    Memory& memory;
    StopRequests& stops;
};

}  // namespace korvex
