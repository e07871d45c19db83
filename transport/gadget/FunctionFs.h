// The USB function through the kernel's FunctionFS: the interface and endpoint
// descriptors written to ep0, the two bulk endpoint files, and the control
// endpoint's events (enable, disable, the mass-storage class requests).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "BulkOnly.h"

namespace gadget {

// The descriptor and string blocks FunctionFS takes on ep0 before the endpoint
// files appear: one interface (mass storage, SCSI transparent command set,
// Bulk-Only Transport) with a bulk IN and a bulk OUT endpoint, at full, high
// and super speed.
std::vector<uint8_t> functionDescriptors();
std::vector<uint8_t> functionStrings(const std::string &interfaceName);

class FunctionFs final : public BulkEndpoints {
public:
    ~FunctionFs() override;

    // Opens ep0 in the mounted FunctionFS at mountPoint, writes the blocks and
    // opens the endpoints; on failure *error says why.
    bool open(const std::string &mountPoint, std::string *error);
    void close();

    struct Events {
        std::function<void()> enable, disable, reset, unbound;
        std::function<void(const std::string &)> log; // may be empty
    };
    // Reads and answers control events until stopRequested() holds after an
    // interrupted read (the caller interrupts this thread to stop it).
    void serveControl(const Events &events, const std::function<bool()> &stopRequested);

    ssize_t receive(uint8_t *buffer, size_t length) override;
    ssize_t send(const uint8_t *data, size_t length) override;
    void haltIn() override;
    void haltOut() override;
    size_t inPacketSize() override;

private:
    void answerSetup(const uint8_t *setup, const Events &events);

    int ep0_ = -1, in_ = -1, out_ = -1;
};

} // namespace gadget
