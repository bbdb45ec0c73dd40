#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace Vantrel::HolvaneApi::Bench {

// A hand-written C++ client for one operation, the VR read: the same bytes as
// the plug-in on the wire, read by the calling thread itself with one send and
// one receive. It shows what the controller (the simulator) costs beyond the
// floor, so that the library's own share of a ReadVrValue can be told apart.
class DirectVrClient {
public:
    DirectVrClient() = default;
    ~DirectVrClient();
    DirectVrClient(const DirectVrClient&) = delete;
    DirectVrClient& operator=(const DirectVrClient&) = delete;

    // Connects, downloads the token table, asks for VERSION and CONTROL.
    // Returns "" or what went wrong.
    std::string connect(const std::string& host, int port);
    // 0 on success, else the controller-band code or 1 for a transport failure.
    uint64_t readVr(uint32_t index, double& value);

private:
    bool sendAll(const uint8_t* data, size_t size);
    bool recvAll(uint8_t* data, size_t size);
    bool appendCode(std::vector<uint8_t>& out, const std::string& key) const;
    void appendRawCode(std::vector<uint8_t>& out, uint16_t code) const;
    void appendNumber(std::vector<uint8_t>& out, double value) const;
    bool readSimpleReply(double& value, uint32_t& status);
    bool systemVariable(const std::string& name, double& value);

    int _fd = -1;
    // First entry of each name, under "NAME" and under "L:NAME" (L the record letter).
    std::map<std::string, uint16_t> _codes;
    uint16_t _extended = 255;
    bool _ieee = false;
    bool _escape = false;
    std::vector<uint8_t> _request;
    // The fixed bytes of a VR read around its index, built once at connect.
    std::vector<uint8_t> _vrHead;
    std::vector<uint8_t> _vrTail;
};

} // namespace Vantrel::HolvaneApi::Bench
