// How one SG_IO exchange ended, classified in two stages: first the transport
// (the ioctl, the adapter, the driver), then the device's own status and sense.
#pragma once

#include <cstdint>
#include <string>

#include "SystemOps.h"

namespace passthrough {

struct Sense {
    bool valid = false;
    uint8_t key = 0;
    uint8_t asc = 0;
    uint8_t ascq = 0;
};

// Decodes fixed (0x70/0x71) and descriptor (0x72/0x73) sense data.
Sense decodeSense(const uint8_t *sense, uint32_t length);

enum class Outcome {
    Good,           // the command completed
    Recovered,      // completed, with a recovered-error report
    UnitAttention,  // the device reports a reset or medium change; worth one retry
    CheckCondition, // the device refused or failed the command
    Timeout,        // no answer within the time limit
    TransportError, // the ioctl, the adapter or the driver failed
};

struct Result {
    Outcome outcome = Outcome::TransportError;
    int osError = 0; // errno of a failed ioctl
    Sense sense;
};

Result classify(int ioctlResult, const SgExchange &x);
bool succeeded(const Result &r);

const char *outcomeName(Outcome o);
// One line for the command log: bytes of the command block, direction, length,
// the outcome with status bytes and sense, and the system's error: osErrorText
// when given, otherwise the errno text of r.osError.
std::string describe(const std::string &node, const SgExchange &x, const Result &r,
                     const std::string &osErrorText = {});

} // namespace passthrough
