#pragma once

#include <cstddef>
#include <cstdint>

namespace Vantrel::HolvaneApi::TCP {

// Decodes the text of a value-list reply, a comma-terminated list of items:
//
//   list       = { item | CR | LF }
//   item       = number | run | substitute
//   number     = ("0".."9" | "-" | "+" | ".") { printable } ","   e.g. "12.5,"
//   run        = "k" { digit } "," { printable } ","             "k3,0," = three zeros
//   substitute = "#" { byte } ","                                 stands for SubstituteValue
//
// A number (a run's too) must convert wholly; a run's count must not be 0; a count or a
// number longer than MaxTextLength, or any other byte between items, makes
// the list malformed. Zero bytes are skipped everywhere. Bytes may arrive in
// any pieces: the state survives between feed() calls.
class ValueListParser {
public:
    // Stored for an item that begins with '#': FLT_MAX / 1000 in single precision.
    static const double SubstituteValue;
    // Longest count or number text accepted.
    static constexpr size_t MaxTextLength = 159;

    ValueListParser(double* values, size_t count);

    // Consumes bytes until the list is complete or malformed; returns how
    // many bytes it used.
    size_t feed(const uint8_t* data, size_t size);

    bool complete() const { return _stored >= _count; }
    bool malformed() const { return _state == State::Error; }
    size_t stored() const { return _stored; }

private:
    enum class State { Error, BetweenItems, RepeatCount, Number, Substitute };

    // One function per item kind.
    void accept(uint8_t byte);
    void startItem(uint8_t byte);
    void repeatCountByte(uint8_t byte);
    void numberByte(uint8_t byte);
    void substituteByte(uint8_t byte);
    void store(double value);

    double* _values;
    size_t _count;
    size_t _stored = 0;
    size_t _repeat = 1;
    size_t _length = 0;
    char _text[MaxTextLength] = {};
    State _state = State::BetweenItems;
};

} // namespace Vantrel::HolvaneApi::TCP
