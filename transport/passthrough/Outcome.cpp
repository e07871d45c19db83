#include "Outcome.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace passthrough {
namespace {
constexpr uint8_t kStatusGood = 0x00;
constexpr uint8_t kStatusCheckCondition = 0x02;
constexpr uint16_t kHostTimeout = 0x03;   // DID_TIME_OUT
constexpr uint16_t kDriverSense = 0x08;   // DRIVER_SENSE: sense buffer valid
constexpr uint16_t kDriverTimeout = 0x06; // DRIVER_TIMEOUT
constexpr uint8_t kKeyRecovered = 0x01;
constexpr uint8_t kKeyUnitAttention = 0x06;
} // namespace

Sense decodeSense(const uint8_t *sense, uint32_t length) {
    Sense s;
    if (!sense || length < 2) return s;
    uint8_t code = sense[0] & 0x7F;
    if ((code == 0x70 || code == 0x71) && length >= 3) {
        s.valid = true;
        s.key = sense[2] & 0x0F;
        if (length >= 13) s.asc = sense[12];
        if (length >= 14) s.ascq = sense[13];
    } else if ((code == 0x72 || code == 0x73) && length >= 4) {
        s.valid = true;
        s.key = sense[1] & 0x0F;
        s.asc = sense[2];
        s.ascq = sense[3];
    }
    return s;
}

Result classify(int ioctlResult, const SgExchange &x) {
    Result r;
    if (ioctlResult < 0) {
        r.osError = -ioctlResult;
        r.outcome = r.osError == ETIMEDOUT ? Outcome::Timeout : Outcome::TransportError;
        return r;
    }
    r.sense = decodeSense(x.sense, x.senseLength);
    if (x.hostStatus == kHostTimeout || (x.driverStatus & 0x0F) == kDriverTimeout) {
        r.outcome = Outcome::Timeout;
        return r;
    }
    if (x.hostStatus != 0) {
        r.outcome = Outcome::TransportError;
        return r;
    }
    // The driver's sense flag only says that sense bytes came back; any other
    // driver condition is a failure of the transport.
    if ((x.driverStatus & ~kDriverSense) != 0) {
        r.outcome = Outcome::TransportError;
        return r;
    }
    uint8_t status = x.status & 0x3E;
    if (status == kStatusGood && !(r.sense.valid && r.sense.key > kKeyRecovered)) {
        r.outcome = r.sense.valid && r.sense.key == kKeyRecovered ? Outcome::Recovered : Outcome::Good;
        return r;
    }
    if (status == kStatusCheckCondition || r.sense.valid) {
        if (r.sense.valid && r.sense.key == kKeyRecovered)
            r.outcome = Outcome::Recovered;
        else if (r.sense.valid && r.sense.key == kKeyUnitAttention)
            r.outcome = Outcome::UnitAttention;
        else
            r.outcome = Outcome::CheckCondition;
        return r;
    }
    // BUSY, RESERVATION CONFLICT, TASK SET FULL and the like.
    r.outcome = Outcome::CheckCondition;
    return r;
}

bool succeeded(const Result &r) { return r.outcome == Outcome::Good || r.outcome == Outcome::Recovered; }

const char *outcomeName(Outcome o) {
    switch (o) {
    case Outcome::Good: return "good";
    case Outcome::Recovered: return "recovered";
    case Outcome::UnitAttention: return "unit-attention";
    case Outcome::CheckCondition: return "check-condition";
    case Outcome::Timeout: return "timeout";
    case Outcome::TransportError: return "transport-error";
    }
    return "?";
}

std::string describe(const std::string &node, const SgExchange &x, const Result &r, const std::string &osErrorText) {
    std::string line = node + " cdb=";
    char buf[96];
    for (uint8_t i = 0; i < x.cdbLength; ++i) {
        std::snprintf(buf, sizeof buf, i ? " %02X" : "%02X", x.cdb[i]);
        line += buf;
    }
    const char *dir = x.direction == SgExchange::Direction::FromDevice ? "in"
                      : x.direction == SgExchange::Direction::ToDevice ? "out"
                                                                       : "none";
    std::snprintf(buf, sizeof buf, " dir=%s len=%u -> %s", dir, x.length, outcomeName(r.outcome));
    line += buf;
    std::snprintf(buf, sizeof buf, " status=0x%02X host=0x%02X driver=0x%02X resid=%d", x.status, x.hostStatus,
                  x.driverStatus, x.residual);
    line += buf;
    if (r.sense.valid) {
        std::snprintf(buf, sizeof buf, " sense key=0x%X asc=0x%02X ascq=0x%02X", r.sense.key, r.sense.asc,
                      r.sense.ascq);
        line += buf;
    }
    if (!osErrorText.empty())
        line += " " + osErrorText;
    else if (r.osError)
        line += std::string(" errno=") + std::strerror(r.osError);
    return line;
}

} // namespace passthrough
