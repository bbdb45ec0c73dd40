// The reply readers that read straight from the connection's socket (DIR
// listing, VR string, EX, value list, simple replies, the connect sequence),
// driven through a real connection whose controller answers with the
// fuzzer's bytes and then ends the link. Each execution is bounded because
// the controller always ends the link after its answer.
//
// Input: byte 0 = controller (bit 0: TMS320) and how the link ends (bits 1-2),
// byte 1 = operation, the rest = the controller's answer.

#include "FuzzChecks.h"
#include "FuzzController.h"

#include "Connection/Port/TCP/Commands/CmdGetVrString.h"
#include "Connection/Port/TCP/Connection_TCP.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using namespace Vantrel::HolvaneApi;
using namespace Vantrel::HolvaneApi::Fuzz;

namespace {

constexpr double Sentinel = -7.25e-300;

FuzzController* s_controller;

struct StringSink {
    uint32_t buffLength = 0;
    uint64_t delivered = 0;
    uint32_t calls = 0;
    uint32_t lastNumber = 0;
    uint32_t count = 0;
};

void onPacket(void* context, DataStreamPacket* packet)
{
    auto& sink = *static_cast<StringSink*>(context);
    check(packet != nullptr, "no packet");
    check(packet->buff_length == sink.buffLength, "buff_length changed", packet->buff_length);
    check(packet->data_length <= packet->buff_length, "packet overfilled", packet->data_length);
    if (packet->data_length == 0) {
        check(sink.calls == 0 && packet->packet_count == 1 && packet->packet_number == 1, "empty string form");
    } else {
        check(packet->packet_number == sink.calls, "packets out of order", packet->packet_number);
        check(packet->packet_number < packet->packet_count, "packet number beyond count", packet->packet_number);
        if (sink.calls > 0)
            check(packet->packet_count == sink.count, "packet count changed", packet->packet_count);
        sink.count = packet->packet_count;
    }
    sink.delivered += packet->data_length;
    check(sink.delivered <= TCP::CmdGetVrString::MaxStringLength, "string beyond the cap", sink.delivered);
    ++sink.calls;
}

void onFile(void* context, const ControllerFileInfo& info)
{
    ++*static_cast<size_t*>(context);
    check(std::memchr(info.szName, 0, sizeof info.szName) != nullptr, "file name not terminated");
}

void checkValues(const std::vector<double>& values, size_t count)
{
    for (size_t i = count; i < values.size(); ++i)
        check(std::memcmp(&values[i], &Sentinel, sizeof Sentinel) == 0, "value written past the count", i);
}

ErrorCode runOperation(Connection_TCP& connection, int operation)
{
    switch (operation) {
    case 0: {
        double value = 0;
        return connection.ReadVrValue(1, value);
    }
    case 1: {
        std::vector<double> values(8 + 4, Sentinel);
        const ErrorCode result = connection.ReadMultiVrValues(10, 8, values.data());
        checkValues(values, 8);
        return result;
    }
    case 2: {
        std::vector<double> values(3 + 4, Sentinel);
        const ErrorCode result = connection.ReadMultiTableValues(0, 3, values.data());
        checkValues(values, 3);
        return result;
    }
    case 3: {
        size_t files = 0;
        return connection.Dir(&files, onFile);
    }
    case 4:
    case 5: {
        // Room for 4 or 1 bytes, exactly: anything beyond is an overflow.
        const uint32_t room = operation == 4 ? 4 : 1;
        std::vector<uint8_t> storage(sizeof(DataStreamPacket) + room);
        auto* packet = new (storage.data()) DataStreamPacket();
        packet->buff_length = room;
        StringSink sink;
        sink.buffLength = room;
        return connection.ReadVrString(7, &sink, onPacket, packet);
    }
    case 6: return connection.Ex(0);
    case 7: return connection.Execute("PRINT 1");
    case 8: {
        double value = 0;
        return connection.ReadAxisParam("SPEED", 0, value);
    }
    default: return connection.WriteVrValue(3, 2.5);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    s_controller = new FuzzController();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const bool tms320 = data[0] & 1;
    const Ending ending = ((data[0] >> 1) & 3) == 1 ? Ending::Reset : Ending::Close;
    const int operation = data[1] % 11;
    const bool atVersion = operation == 10;
    const std::string reply(reinterpret_cast<const char*>(data + 2), size - 2);

    const std::unique_ptr<Connection_TCP> link =
        s_controller->makeConnection([](EventType, uint64_t, const std::string_view&) {});
    Connection_TCP& connection = *link;

    s_controller->serve(tms320, atVersion, reply, ending);
    const ErrorCode connected = connection.Connect();
    checkCode(connected, "Connect");
    if (atVersion) {
        check(connected != NoError || reply.size() >= 16, "connected without two whole answers");
    } else if (connected == NoError) {
        checkCode(runOperation(connection, operation), "operation");
        // The link has ended: the next request must fail, never hang, and
        // never be answered from what is left of the last reply.
        double value = 0;
        const ErrorCode next = connection.ReadVrValue(2, value);
        checkCode(next, "next operation");
    }
    check(connection.Disconnect() == NoError, "Disconnect");
    check(!connection.IsConnected(), "connected after Disconnect");
    s_controller->finish();
    return 0;
}
