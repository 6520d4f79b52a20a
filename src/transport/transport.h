// The transport table: the three operations through which every request of a
// run reaches the BMC. The main routine binds it once per run.
#pragma once

#include <cstdint>

#include "transport/protocol.h"

namespace korvex {

// How one exchange ended. The difference between the two failures matters to
// a caller that may send the request again: a request that failed while it
// was being written may never have reached the BMC; one whose response was
// lost did.
enum class ExchangeStatus : uint8_t { Answered, WriteFailed, ReadFailed };

// The result of one exchange: its end, and for a response the completion
// code and the count of response data bytes.
struct [[nodiscard]] ExchangeResult {
    ExchangeStatus status = ExchangeStatus::WriteFailed;
    uint8_t completion = 0;  // completion code of a response
    int32_t length = 0;      // response data bytes of a response

    static constexpr ExchangeResult answer(uint8_t completionCode, int32_t dataLength) {
        return ExchangeResult{ExchangeStatus::Answered, completionCode, dataLength};
    }
    static constexpr ExchangeResult writeFailure() { return ExchangeResult{ExchangeStatus::WriteFailed, 0, 0}; }
    static constexpr ExchangeResult readFailure() { return ExchangeResult{ExchangeStatus::ReadFailed, 0, 0}; }

    constexpr bool answered() const { return status == ExchangeStatus::Answered; }
    // A response with completion code 0x00.
    constexpr bool succeeded() const { return answered() && completion == 0; }
    // The completion code of a response, or -1 for a failed exchange: the
    // value the tool's messages show (-1 as ffffffff) and its callers compare.
    constexpr int32_t value() const { return answered() ? completion : -1; }
    // A caller's response length after this exchange, as the configuration
    // requests keep it: the data count of a response, -1 after a failure
    // while reading, and what it was before after a failure while writing.
    constexpr int32_t lengthAfter(int32_t before) const {
        return answered() ? length : status == ExchangeStatus::ReadFailed ? -1 : before;
    }
};

class Transport {
public:
    // -1 when the interface is not ready for use; any other value is success.
    virtual int open() = 0;
    // The result is ignored by every caller.
    virtual int close() = 0;
    // Sends one request and receives its response, whose data are copied to
    // responseData (which must hold 125 bytes).
    virtual ExchangeResult exchange(uint8_t netFnLun, uint8_t command, const uint8_t* requestData,
                                    int32_t requestLength, uint8_t* responseData) = 0;

protected:
    ~Transport() = default;
};

}  // namespace korvex
