// What a URB asks of the bus: the setup packet of the requests that travel as control transfers
// on the default pipe, and the data stage of every transfer URB. The host controller acts on
// these; the capture writer records them.
#pragma once

#include <cstdint>
#include <optional>

#include "vel_usb.h"

namespace vel::usb {

// The data stage of a transfer URB. `buffer` is null when the URB describes its data with an
// MDL only; `length` is the requested length at submission and the transferred one at completion.
struct UrbTransfer {
    uint8_t* buffer = nullptr;
    uint32_t length = 0;
    bool in = false;  // device to host
};

// True for the URB functions that the stack carries out as a control transfer.
bool isControlFunction(uint16_t function);

// The eight setup bytes a control-function URB stands for; nullopt for any other function.
std::optional<USB_DEFAULT_PIPE_SETUP_PACKET> setupPacketOf(const URB& urb);

// The data stage of a control-function or bulk/interrupt URB; nullopt for any other function.
std::optional<UrbTransfer> transferOf(const URB& urb);

}  // namespace vel::usb
