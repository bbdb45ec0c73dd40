#pragma once

// A raw-socket client that speaks the controller protocol from the host's
// side, written independently of the simulator's own encoder and decoder.

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace SimTest {

struct TableRecord {
    char type = 0;
    uint16_t code = 0;
    std::string name;
    std::string rest; // text after the name
};

// Parses the token table text: records "<letter><code><name>[,fields]" CR LF.
std::vector<TableRecord> parseTable(const std::string& text);

// TMS320 32-bit conversions after the format's definition.
uint32_t tmsEncode(float value);
float tmsDecode(uint32_t bits);

class Client {
public:
    explicit Client(uint16_t port);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Token table, then VERSION and CONTROL in the handshake format; afterwards
    // the client uses the format those answers select.
    void handshake();
    std::string downloadTable();
    void useFormat(bool ieee, bool escaped) { _ieee = ieee, _escaped = escaped; }
    bool ieee() const { return _ieee; }

    uint16_t code(const std::string& name) const;
    const std::map<std::string, TableRecord>& table() const { return _byName; }

    // Request building.
    std::string tok(const std::string& name) const;
    std::string tokCode(uint16_t code) const;
    std::string num(double value) const;            // NUMBER, data bytes, EOX
    std::string str(const std::string& text) const; // QUOTES, data bytes, QUOTES
    std::string zero() const { return tokCode(_zero); }
    std::string sysVar(const std::string& name) const;
    std::string axisMod(double axis) const;
    std::string escape(const std::string& bytes) const;

    void send(const std::string& bytes);
    // Exactly `count` bytes; throws on time-out or close.
    std::string read(size_t count, int timeoutMs = 3000);
    // Whatever arrives within `timeoutMs`; empty on silence.
    std::string readSome(int timeoutMs);
    std::string readUntil(const std::string& marker, int timeoutMs = 3000);
    // True when the peer closed the connection within `timeoutMs`.
    bool closedWithin(int timeoutMs);

    double readNumber(int timeoutMs = 3000);
    std::pair<double, double> readSimple(int timeoutMs = 3000);
    // Sends the request and reads a simple reply.
    std::pair<double, double> ask(const std::string& request);

    void ack();

private:
    int _fd = -1;
    bool _ieee = false;
    bool _escaped = false;
    uint16_t _zero = 200;
    uint16_t _extended = 255;
    std::map<std::string, TableRecord> _byName;
};

} // namespace SimTest
