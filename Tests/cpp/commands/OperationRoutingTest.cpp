// Routing of the operations: no pump, a link cut or abandoned mid-reply, a
// late reply, several threads on one connection, and the plug-in's factory.
#include "CommandFixture.h"

#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <map>
#include <thread>

namespace Vantrel::HolvaneApi::Testing {
namespace {

using Clock = std::chrono::steady_clock;

// Every controller operation once, with harmless arguments.
std::vector<std::pair<const char*, std::function<ErrorCode(IConnection&)>>> everyOperation()
{
    static double values[4];
    static DataStreamPacket packet;
    packet.buff_length = 8;
    static const int axes[] = {0, 1};
    static char frame[8];
    auto noFile = [](void*, const ControllerFileInfo&) {};
    auto noPacket = [](void*, DataStreamPacket*) {};
    return {
        {"Ex()", [](IConnection& c) { return c.Ex(); }},
        {"Ex", [](IConnection& c) { return c.Ex(1); }},
        {"Cancel", [](IConnection& c) { return c.Cancel(1); }},
        {"Cancel axis", [](IConnection& c) { return c.Cancel(1, 2); }},
        {"Execute", [](IConnection& c) { return c.Execute("A"); }},
        {"SetAxisBase", [](IConnection& c) { return c.SetAxisBase(1); }},
        {"SetMultiAxisBase", [](IConnection& c) { return c.SetMultiAxisBase(axes, 2); }},
        {"Datum", [](IConnection& c) { return c.Datum(1, 0); }},
        {"DefPos", [](IConnection& c) { return c.DefPos(1.0, 0); }},
        {"DefPos list", [](IConnection& c) { return c.DefPos(values, 2); }},
        {"Forward", [](IConnection& c) { return c.Forward(0); }},
        {"Reverse", [](IConnection& c) { return c.Reverse(0); }},
        {"MoveRel", [](IConnection& c) { return c.MoveRel(1.0, 0); }},
        {"MoveRel list", [](IConnection& c) { return c.MoveRel(values, 2); }},
        {"MoveRelSp", [](IConnection& c) { return c.MoveRelSp(1.0, 0); }},
        {"MoveRelSp list", [](IConnection& c) { return c.MoveRelSp(values, 2); }},
        {"MoveAbs", [](IConnection& c) { return c.MoveAbs(1.0, 0); }},
        {"MoveAbs list", [](IConnection& c) { return c.MoveAbs(values, 2); }},
        {"MoveAbsSp", [](IConnection& c) { return c.MoveAbsSp(1.0, 0); }},
        {"MoveAbsSp list", [](IConnection& c) { return c.MoveAbsSp(values, 2); }},
        {"WriteTableValue", [](IConnection& c) { return c.WriteTableValue(1, 1.0); }},
        {"WriteMultiTableValues", [](IConnection& c) { return c.WriteMultiTableValues(1, 2, values); }},
        {"ReadTableValue", [](IConnection& c) { return c.ReadTableValue(1, values[0]); }},
        {"ReadMultiTableValues", [](IConnection& c) { return c.ReadMultiTableValues(1, 2, values); }},
        {"WriteVrValue", [](IConnection& c) { return c.WriteVrValue(1, 1.0); }},
        {"WriteMultiVrValues", [](IConnection& c) { return c.WriteMultiVrValues(1, 2, values); }},
        {"ReadVrValue", [](IConnection& c) { return c.ReadVrValue(1, values[0]); }},
        {"ReadMultiVrValues", [](IConnection& c) { return c.ReadMultiVrValues(1, 2, values); }},
        {"WriteAxisParam", [](IConnection& c) { return c.WriteAxisParam("SPEED", 0, 1.0); }},
        {"ReadAxisParam", [](IConnection& c) { return c.ReadAxisParam("SPEED", 0, values[0]); }},
        {"InvertIN", [](IConnection& c) { return c.InvertIN(1, true); }},
        {"StopProgram", [](IConnection& c) { return c.StopProgram("P", 1); }},
        {"StopProgramByName", [](IConnection& c) { return c.StopProgramByName("P"); }},
        {"FrameGroup", [](IConnection& c) { return c.FrameGroup(0, frame, sizeof frame); }},
        {"SetFrameGroup", [](IConnection& c) { return c.SetFrameGroup(0, 0, axes, 2); }},
        {"Dir", [noFile](IConnection& c) { return c.Dir(nullptr, noFile); }},
        {"WriteVrString", [](IConnection& c) { return c.WriteVrString(1, "s"); }},
        {"ReadVrString", [noPacket](IConnection& c) { return c.ReadVrString(1, nullptr, noPacket, &packet); }},
    };
}

TEST(OperationRouting, WithoutAReaderPumpEveryOperationFails)
{
    CreateParams params;
    params.connectionType = ConnectionType::TCP;
    auto* conn = new Connection_TCP(params);
    for (const auto& [name, call] : everyOperation())
        EXPECT_EQ(call(*conn), Fail) << name << " before Connect";

    // A Connect that fails before the pump starts.
    conn->WriteStringAttribute("TCP_HostName", "127.0.0.1");
    conn->WriteIntAttribute("TCP_Port", closedPort());
    EXPECT_NE(conn->Connect(), NoError);
    for (const auto& [name, call] : everyOperation())
        EXPECT_EQ(call(*conn), Fail) << name << " after a failed Connect";
    conn->DeleteMe();

    // After Disconnect.
    ConnectedController ctl(profileOf(Flavour::Ieee64));
    ASSERT_EQ(ctl.connectResult, NoError);
    EXPECT_EQ(ctl.conn->Disconnect(), NoError);
    for (const auto& [name, call] : everyOperation())
        EXPECT_EQ(call(*ctl.conn), Fail) << name << " after Disconnect";
}

TEST(OperationRouting, AReplyCutByThePeerFailsAndTheNextOperationFailsPromptly)
{
    ConnectedController ctl(profileOf(Flavour::Ieee64));
    ASSERT_EQ(ctl.connectResult, NoError);
    Bytes half = ctl.wire().reply(12.5, 0);
    half.resize(5);
    ctl.peer->expect(ctl.wire().tok("VR").tok("OPENBRACKETS").num(1).tok("CLOSEBRACKETS").zero())
        .send(half)
        .pause(50)
        .closeClient();
    const auto start = Clock::now();
    double value = 0;
    const ErrorCode cut = ctl.conn->ReadVrValue(1, value);
    EXPECT_NE(cut, NoError);
    EXPECT_FALSE(ctl.conn->IsConnected());
    for (const auto& [name, call] : everyOperation())
        EXPECT_NE(call(*ctl.conn), NoError) << name;
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(3)) << "nothing waits for the dead link";
}

TEST(OperationRouting, AnAbandonedReplyFailsTheCommandsQueuedBehindIt)
{
    // EX's reply is broken; a second caller's request is already queued.
    ConnectedController ctl(profileOf(Flavour::Ieee64));
    ASSERT_EQ(ctl.connectResult, NoError);
    Wire w = ctl.wire();
    const Bytes ex = ctl.wire().tok("EX").tok("OPENBRACKETS").num(0).tok("CLOSEBRACKETS").zero();
    const Bytes readVr = ctl.wire().tok("VR").tok("OPENBRACKETS").num(9).tok("CLOSEBRACKETS").zero();
    Bytes bad = {'N', 'O', '!'};
    append(bad, w.reply(0, 0));
    ctl.peer->expect(ex).expect(readVr).send(bad).send(w.reply(77, 0));
    ErrorCode exResult = NoError;
    std::thread first([&] { exResult = ctl.conn->Ex(); });
    // The second request goes out once the first is on the wire.
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (ctl.peer->received().empty() && Clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    double value = 0;
    const ErrorCode readResult = ctl.conn->ReadVrValue(9, value);
    first.join();
    EXPECT_EQ(exResult, BadResponse);
    EXPECT_NE(readResult, NoError);
    EXPECT_NE(value, 77.0) << "a reply is never handed to a request it does not answer";
}

TEST(OperationRouting, ALateReplyIsNeverTakenForTheNextOne)
{
    ConnectedController ctl(profileOf(Flavour::Tms320));
    ASSERT_EQ(ctl.connectResult, NoError);
    ctl.conn->WriteIntAttribute("TCP_Timeout", 1000); // a reply later than the limit, whatever the limit
    Wire w = ctl.wire();
    ctl.peer->expect(ctl.wire().tok("VR").tok("OPENBRACKETS").num(1).tok("CLOSEBRACKETS").zero())
        .pause(1500)
        .send(w.reply(99, 0));
    double value = 0;
    EXPECT_EQ(ctl.conn->ReadVrValue(1, value), Timeout);
    ctl.peer->waitDone(5000);
    double next = 0;
    EXPECT_NE(ctl.conn->ReadVrValue(2, next), NoError);
    EXPECT_NE(next, 99.0);
    EXPECT_FALSE(ctl.conn->IsConnected());
}

// Answers the requests of the concurrency test in whatever order they come,
// each by its own reply, one at a time as a controller does: a block read's
// list goes out on its acknowledgement, before any request behind it is
// answered. The list is sent as one full cycle of 256 bytes, zero bytes in
// front (which the reader skips), so that the cycle's read cannot reach into
// the next reply; what happens when it does is tested on its own.
class MixedResponder {
public:
    explicit MixedResponder(uint8_t ack) : _ack(ack) {}
    void add(const Bytes& request, const Bytes& reply, const std::string& list = {})
    {
        _answers[request] = {reply, list};
    }
    bool operator()(Bytes& pending, Bytes& reply)
    {
        if (!_list.empty()) {
            // Requests written meanwhile come before the acknowledgement.
            size_t at = 0;
            while (at < pending.size() && pending[at] != _ack) {
                const size_t length = knownRequestAt(pending, at);
                if (length == 0)
                    return false;
                at += length;
            }
            if (at == pending.size())
                return false;
            pending.erase(pending.begin() + static_cast<std::ptrdiff_t>(at));
            reply.assign(_list.size() < 256 ? 256 - _list.size() : 0, 0);
            append(reply, bytesOf(_list));
            _list.clear();
            _listJustSent = true;
            return true;
        }
        if (pending.empty())
            return false;
        if (pending[0] == _ack) {
            // A further cycle of a list already sent whole: nothing to add.
            pending.erase(pending.begin());
            reply.clear();
            return true;
        }
        for (auto it = _answers.begin(); it != _answers.end(); ++it) {
            const Bytes& request = it->first;
            if (pending.size() >= request.size() && std::equal(request.begin(), request.end(), pending.begin())) {
                // A short pause after a list, as a controller takes between replies.
                if (_listJustSent)
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                _listJustSent = false;
                reply = it->second.first;
                _list = it->second.second;
                pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(request.size()));
                _answers.erase(it);
                return true;
            }
        }
        return false;
    }

private:
    size_t knownRequestAt(const Bytes& pending, size_t at) const
    {
        for (const auto& [request, answer] : _answers)
            if (pending.size() - at >= request.size() &&
                std::equal(request.begin(), request.end(), pending.begin() + static_cast<std::ptrdiff_t>(at)))
                return request.size();
        return 0;
    }

    uint8_t _ack;
    std::map<Bytes, std::pair<Bytes, std::string>> _answers;
    std::string _list;
    bool _listJustSent = false;
};

TEST(OperationRouting, ConcurrentCallersEachGetTheirOwnResults)
{
    for (Flavour flavour : {Flavour::Tms320, Flavour::Ieee64}) {
        ConnectedController ctl(profileOf(flavour));
        ASSERT_EQ(ctl.connectResult, NoError);
        constexpr int Threads = 4;
        constexpr int PerThread = 40;
        auto W = [&] { return ctl.wire(); };
        auto responder = std::make_shared<MixedResponder>(ctl.peer->profile().table.code("UNKNOWN"));
        auto valueOf = [](int t, int i) { return t * 1000.0 + i + 0.5; };
        for (int t = 0; t < Threads; ++t)
            for (int i = 0; i < PerThread; ++i) {
                const int index = 100 * t + i;
                const double v = valueOf(t, i);
                switch (i % 4) {
                case 0:
                    responder->add(W().tok("VR").tok("OPENBRACKETS").num(index).tok("CLOSEBRACKETS").zero(),
                                   W().reply(v, 0));
                    break;
                case 1:
                    responder->add(
                        W().tok("VR").tok("OPENBRACKETS").num(index).tok("CLOSEBRACKETS").tok("ASSIGN").num(v).zero(),
                        W().reply(0, t + 1));
                    break;
                case 2:
                    responder->add(W().sysvar("DPOS")
                                       .tok("MODIFIER")
                                       .tok("AXIS")
                                       .tok("OPENBRACKETS")
                                       .num(index)
                                       .tok("CLOSEBRACKETS")
                                       .zero(),
                                   W().reply(-v, 0));
                    break;
                default:
                    responder->add(W().tok("VRVALUES")
                                       .tok("OPENBRACKETS")
                                       .num(index)
                                       .tok("COMMA")
                                       .num(index + 2)
                                       .tok("COMMA")
                                       .num(1)
                                       .tok("CLOSEBRACKETS")
                                       .zero(),
                                   W().reply(0, 0), std::to_string(v) + ",k2," + std::to_string(-v) + ",\r\n");
                    break;
                }
            }
        // Each block read is answered twice: its leading reply, then its list.
        ctl.peer->serve(Threads * PerThread + Threads * PerThread / 4,
                        [responder](Bytes& pending, Bytes& reply) { return (*responder)(pending, reply); });

        std::atomic<int> wrong{0};
        std::vector<std::thread> threads;
        for (int t = 0; t < Threads; ++t)
            threads.emplace_back([&, t] {
                for (int i = 0; i < PerThread; ++i) {
                    const int index = 100 * t + i;
                    const double v = valueOf(t, i);
                    double got = 0;
                    std::vector<double> block(3, 0);
                    ErrorCode error = NoError;
                    bool right = false;
                    switch (i % 4) {
                    case 0:
                        error = ctl.conn->ReadVrValue(index, got);
                        right = error == NoError && got == v;
                        break;
                    case 1:
                        // Each thread's writes are refused with its own error number.
                        error = ctl.conn->WriteVrValue(index, v);
                        right = error == static_cast<ErrorCode>(0x400000000 + t + 1);
                        break;
                    case 2:
                        error = ctl.conn->ReadAxisParam("DPOS", index, got);
                        right = error == NoError && got == -v;
                        break;
                    default:
                        error = ctl.conn->ReadMultiVrValues(index, 3, block.data());
                        right = error == NoError && block == std::vector<double>{v, -v, -v};
                        break;
                    }
                    if (!right && ++wrong <= 3)
                        ADD_FAILURE() << "thread " << t << " operation " << i << ": code " << std::hex << error
                                      << std::dec << ", value " << got << ", block " << block[0] << " " << block[1]
                                      << " " << block[2];
                }
            });
        for (auto& thread : threads)
            thread.join();
        EXPECT_EQ(wrong.load(), 0);
        ctl.verifyScript();
        EXPECT_TRUE(ctl.conn->IsConnected());
    }
}

TEST(OperationRouting, ThePluginsFactoryServesTheSameOperations)
{
    void* library = ::dlopen(HOLVANE_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << ::dlerror();
    auto factory = reinterpret_cast<FactoryFunction>(::dlsym(library, "factory"));
    ASSERT_NE(factory, nullptr);
    {
        FakePeer peer(profileOf(Flavour::Tms320));
        CreateParams params;
        params.connectionType = ConnectionType::TCP;
        IConnection* conn = nullptr;
        ASSERT_EQ(factory(params, conn), NoError);
        aimAt(*conn, peer.port());
        ASSERT_EQ(conn->Connect(), NoError);
        peer.expect(peer.wire().tok("VR").tok("OPENBRACKETS").num(3).tok("CLOSEBRACKETS").zero())
            .send(peer.wire().reply(-8.25, 0));
        double value = 0;
        EXPECT_EQ(conn->ReadVrValue(3, value), NoError);
        EXPECT_EQ(value, -8.25);
        EXPECT_EQ(conn->StopProgram("P", 1), Fail);
        peer.expectSilence(100);
        EXPECT_TRUE(peer.waitDone());
        EXPECT_TRUE(peer.failures().empty());
        conn->DeleteMe();
    }
    ::dlclose(library);
}

} // namespace
} // namespace Vantrel::HolvaneApi::Testing
