#include "FakeController.h"

#include "support/WireFormat.h"

#include <gtest/gtest.h>

namespace Vantrel::HolvaneApi::CoreTesting {

using Testing::NumberFormat;
using Testing::Wire;

FakeController::FakeController() : _table(Testing::TokenTableText::standard()) {}

bool FakeController::acceptAndExpectTableRequest(int timeout_ms)
{
    _peer = _listener.accept(timeout_ms);
    if (!_peer.valid())
        return false;
    return expect(Bytes{0x00, 0xC8}, timeout_ms);
}

bool FakeController::acceptAgain(int timeout_ms) { return acceptAndExpectTableRequest(timeout_ms); }

bool FakeController::sendTable(bool complete)
{
    std::string text = _table.text();
    if (!complete)
        text = text.substr(0, text.rfind("[EOT]"));
    return _peer.sendAll(text);
}

bool FakeController::answerSysVar(const std::string& name, double value, double status)
{
    const Bytes request = Wire(_table, NumberFormat::Tms320, false).sysvar(name).zero();
    if (!expect(request))
        return false;
    Bytes answer = tmsBytes(value);
    const Bytes tail = tmsBytes(status);
    answer.insert(answer.end(), tail.begin(), tail.end());
    return _peer.sendAll(answer);
}

bool FakeController::handshake(double version, double type)
{
    _ieee = !(type <= 299 && type != 266);
    return acceptAndExpectTableRequest() && sendTable() && answerSysVar("VERSION", version) &&
           answerSysVar("CONTROL", type);
}

Bytes FakeController::sysVarRequest(const std::string& name) const
{
    return Wire(_table, _ieee ? NumberFormat::Ieee64 : NumberFormat::Tms320, _ieee).sysvar(name).zero();
}

Bytes FakeController::number(double value) const { return _ieee ? ieeeBytes(value) : tmsBytes(value); }

Bytes FakeController::reply(double value, double status) const
{
    Bytes out = number(value);
    const Bytes tail = number(status);
    out.insert(out.end(), tail.begin(), tail.end());
    return out;
}

bool FakeController::expect(const Bytes& request, int timeout_ms)
{
    Bytes got;
    if (!_peer.readExact(request.size(), got, timeout_ms)) {
        ADD_FAILURE() << "controller side: expected " << Testing::hexOf(request) << ", got "
                      << Testing::hexOf(got);
        return false;
    }
    if (got != request) {
        ADD_FAILURE() << "controller side: expected " << Testing::hexOf(request) << ", got "
                      << Testing::hexOf(got);
        return false;
    }
    return true;
}

} // namespace Vantrel::HolvaneApi::CoreTesting
