#include "Connection/Port/TCP/Commands/ValueListParser.h"

#include <cfloat>
#include <charconv>
#include <system_error>

namespace Vantrel::HolvaneApi::TCP {

const double ValueListParser::SubstituteValue = static_cast<double>(FLT_MAX / 1000.0f);

namespace {
bool isDigit(uint8_t b) { return b >= '0' && b <= '9'; }
bool isPrintable(uint8_t b) { return b >= 0x20 && b < 0x7F; }
} // namespace

ValueListParser::ValueListParser(double* values, size_t count) : _values(values), _count(count) {}

size_t ValueListParser::feed(const uint8_t* data, size_t size)
{
    size_t used = 0;
    while (used < size && !complete() && !malformed())
        accept(data[used++]);
    return used;
}

void ValueListParser::store(double value)
{
    // Surplus repeats are dropped: a huge repeat count costs no more than the
    // values still wanted.
    const size_t wanted = _count - _stored;
    const size_t times = _repeat < wanted ? _repeat : wanted;
    for (size_t i = 0; i < times; ++i)
        _values[_stored++] = value;
}

void ValueListParser::accept(uint8_t b)
{
    if (b == 0)
        return;
    switch (_state) {
    case State::BetweenItems: return startItem(b);
    case State::RepeatCount: return repeatCountByte(b);
    case State::Number: return numberByte(b);
    case State::Substitute: return substituteByte(b);
    case State::Error: return;
    }
}

void ValueListParser::startItem(uint8_t b)
{
    if (b == 'k') {
        _length = 0;
        _state = State::RepeatCount;
    } else if (isDigit(b) || b == '-' || b == '+' || b == '.') {
        _repeat = 1;
        _text[0] = static_cast<char>(b);
        _length = 1;
        _state = State::Number;
    } else if (b == '#') {
        _repeat = 1;
        _state = State::Substitute;
    } else if (b != '\r' && b != '\n') {
        _state = State::Error;
    }
}

void ValueListParser::repeatCountByte(uint8_t b)
{
    if (b != ',') {
        if (isDigit(b) && _length < MaxTextLength)
            _text[_length++] = static_cast<char>(b);
        else
            _state = State::Error;
        return;
    }
    // Saturating decimal conversion: no count can overflow.
    size_t repeat = 0;
    for (size_t i = 0; i < _length; ++i) {
        const size_t digit = static_cast<size_t>(_text[i] - '0');
        repeat = repeat > (SIZE_MAX - digit) / 10 ? SIZE_MAX : repeat * 10 + digit;
    }
    if (repeat == 0) {
        _state = State::Error;
        return;
    }
    _repeat = repeat;
    _length = 0;
    _state = State::Number;
}

void ValueListParser::numberByte(uint8_t b)
{
    if (b != ',') {
        if (isPrintable(b) && _length < MaxTextLength)
            _text[_length++] = static_cast<char>(b);
        else
            _state = State::Error;
        return;
    }
    // Locale-independent: a caller's locale must not change how the
    // controller's numbers read.
    const char* first = _text;
    const char* last = _text + _length;
    if (first != last && *first == '+' && last - first > 1 && first[1] != '-' && first[1] != '+')
        ++first;
    double value = 0.0;
    const auto [end, ec] = std::from_chars(first, last, value);
    if (_length == 0 || ec != std::errc() || end != last) {
        _state = State::Error;
        return;
    }
    store(value);
    _state = State::BetweenItems;
}

// Whatever a substitute item holds up to its comma is not read.
void ValueListParser::substituteByte(uint8_t b)
{
    if (b != ',')
        return;
    store(SubstituteValue);
    _state = State::BetweenItems;
}

} // namespace Vantrel::HolvaneApi::TCP
