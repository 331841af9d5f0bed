// The command side of the simulated modem: a line-based AT command interpreter with a data
// mode. It is pure logic; AcmModem feeds it the bulk OUT data and sends back what it replies.
//
// Command mode: characters are collected up to a carriage return (line feeds are ignored,
// backspace removes the last character) and echoed as they arrive while echo is on (the
// default). A line must begin with "AT" (any case); an empty line is ignored. One command per
// line:
//   AT                 OK
//   ATE0 / ATE1 / ATE  echo off / on / off, then OK
//   ATI                the product line, then OK
//   AT+CGMI / +CGMM / +CGSN   manufacturer / model / serial number, then OK
//   ATH                OK (there is no call to hang up in command mode)
//   ATD<number>        CONNECT, then data mode; ATDT and ATDP are accepted; a number is digits
//                      and + * # , W @ - (spaces are dropped from every line), anything else or
//                      no number at all is an ERROR
//   anything else      ERROR
// Result codes are framed "\r\n<text>\r\n" (verbose codes, as with ATV1).
//
// Data mode: every byte comes back as data (the far end echoes). The escape "+++" is
// recognised when an OUT packet holds exactly those three characters: the packet boundary
// stands in for the guard times before and after (so "+++" behind other bytes of a packet is
// data). It ends the call with NO CARRIER and
// returns to command mode; so does loss of DTR (hangUp()).
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "vel/devices/descriptor_builder.h"
#include "vel/devices/identity.h"

namespace vel::dev {

class AtInterpreter {
  public:
    explicit AtInterpreter(ProductIdentity identity) : identity_(std::move(identity)) {}

    // One OUT packet from the host; what the modem sends back is appended to `reply`.
    void receive(std::span<const uint8_t> packet, Bytes& reply);
    // DTR dropped: a call ends with NO CARRIER.
    void hangUp(Bytes& reply);
    // An incoming call: RING in command mode, nothing while online.
    void ring(Bytes& reply);
    // Back to the power-on state: command mode, echo on, empty line.
    void reset();

    bool online() const { return online_; }
    bool echo() const { return echo_; }
    const std::string& dialledNumber() const { return dialled_; }

  private:
    void execute(const std::string& line, Bytes& reply);

    ProductIdentity identity_;
    std::string line_;
    std::string dialled_;
    bool echo_ = true;
    bool online_ = false;
};

}  // namespace vel::dev
