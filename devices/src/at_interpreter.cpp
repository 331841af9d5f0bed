#include "vel/devices/at_interpreter.h"

#include <algorithm>
#include <cctype>
#include <string_view>
#include <utility>

namespace vel::dev {
namespace {

constexpr uint8_t kCarriageReturn = '\r';
constexpr uint8_t kLineFeed = '\n';
constexpr uint8_t kBackspace = 0x08;

void put(Bytes& reply, std::string_view text) {
    reply.insert(reply.end(), text.begin(), text.end());
}

void result(Bytes& reply, std::string_view text) {
    put(reply, "\r\n");
    put(reply, text);
    put(reply, "\r\n");
}

std::string upper(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return out;
}

bool isDialCharacter(char c) {
    return std::isdigit(static_cast<unsigned char>(c)) || c == '+' || c == '*' || c == '#' ||
           c == ',' || c == 'W' || c == '@' || c == '-';
}

}  // namespace

void AtInterpreter::receive(std::span<const uint8_t> packet, Bytes& reply) {
    if (online_) {
        if (packet.size() == 3 &&
            std::all_of(packet.begin(), packet.end(), [](uint8_t c) { return c == '+'; })) {
            online_ = false;
            result(reply, "NO CARRIER");
            return;
        }
        reply.insert(reply.end(), packet.begin(), packet.end());
        return;
    }
    for (size_t i = 0; i < packet.size(); ++i) {
        const uint8_t c = packet[i];
        if (echo_) {
            reply.push_back(c);
        }
        if (c == kCarriageReturn) {
            const std::string line = std::exchange(line_, {});
            execute(line, reply);
        } else if (c == kBackspace) {
            if (!line_.empty()) {
                line_.pop_back();
            }
        } else if (c != kLineFeed) {
            line_.push_back(static_cast<char>(c));
        }
        // A dial command leaves the rest of the packet to data mode.
        if (online_) {
            reply.insert(reply.end(), packet.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                         packet.end());
            return;
        }
    }
}

void AtInterpreter::execute(const std::string& line, Bytes& reply) {
    std::string command = upper(line);
    command.erase(std::remove(command.begin(), command.end(), ' '), command.end());
    if (command.empty()) {
        return;
    }
    if (command.rfind("AT", 0) != 0) {
        result(reply, "ERROR");
        return;
    }
    const std::string_view body = std::string_view(command).substr(2);
    auto ok = [&] { result(reply, "OK"); };
    if (body.empty() || body == "H" || body == "H0") {
        ok();
    } else if (body == "E" || body == "E0" || body == "E1") {
        echo_ = body == "E1";
        ok();
    } else if (body == "I") {
        result(reply, identity_.manufacturer + " " + identity_.model + " " + identity_.revision);
        ok();
    } else if (body == "+CGMI") {
        result(reply, identity_.manufacturer);
        ok();
    } else if (body == "+CGMM") {
        result(reply, identity_.model);
        ok();
    } else if (body == "+CGSN") {
        result(reply, identity_.serialNumber);
        ok();
    } else if (body.front() == 'D') {
        std::string_view number = body.substr(1);
        if (!number.empty() && (number.front() == 'T' || number.front() == 'P')) {
            number.remove_prefix(1);
        }
        if (number.empty() || !std::all_of(number.begin(), number.end(), isDialCharacter)) {
            result(reply, "ERROR");
            return;
        }
        dialled_ = std::string(number);
        online_ = true;
        result(reply, "CONNECT");
    } else {
        result(reply, "ERROR");
    }
}

void AtInterpreter::hangUp(Bytes& reply) {
    if (online_) {
        online_ = false;
        result(reply, "NO CARRIER");
    }
}

void AtInterpreter::ring(Bytes& reply) {
    if (!online_) {
        result(reply, "RING");
    }
}

void AtInterpreter::reset() {
    line_.clear();
    dialled_.clear();
    echo_ = true;
    online_ = false;
}

}  // namespace vel::dev
