#include "HolvaneSim/SimSession.h"

#include "HolvaneSim/SimServer.h"

#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace Vantrel::HolvaneApi::Sim {
namespace {
constexpr size_t kReadChunk = size_t{64} * 1024;
constexpr size_t kFlushThreshold = size_t{256} * 1024;
} // namespace

SimSession::SimSession(SimServer& server, int fd, const FaultPlan& faults)
    : _server(server), _fd(fd), _faults(faults), _parser(lexerCodes(server.tokenTable(), server.keywords())),
      _handler(server.state(), server.tokenTable(), server.keywords()), _in(kReadChunk * 2)
{
}

SimSession::~SimSession()
{
    if (_fd >= 0)
        ::close(_fd);
}

void SimSession::interrupt() { ::shutdown(_fd, SHUT_RDWR); }

void SimSession::closeConnection()
{
    _closing = true;
    ::shutdown(_fd, SHUT_RDWR);
}

void SimSession::run()
{
    while (!_server.stopping() && !_closing) {
        if (!receive())
            break;
        bool keep = true;
        while (keep) {
            const Extracted extracted = extract();
            keep = extracted != Extracted::Fatal && process();
            if (extracted != Extracted::Full)
                break;
            // Still full: the requests wait behind a list that is never
            // acknowledged; such a client is dropped rather than buffered.
            keep = keep && _pending.size() < kMaxPendingRequests;
        }
        if (!_arrivals.empty())
            _server.arrivalLog()->write(_arrivals);
        if (!keep) {
            flush();
            closeConnection();
            break;
        }
        if (_out.empty()) {
            // Nothing to answer yet (a list waits for its acknowledgement, a
            // request is incomplete): acknowledge at once, since a host that
            // coalesces small writes holds its next bytes until our ACK.
            const int one = 1;
            ::setsockopt(_fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
        }
        if (!flush())
            break;
    }
}

bool SimSession::receive()
{
    if (_inStart == _inEnd) {
        _inStart = _inEnd = 0;
    } else if (_in.size() - _inEnd < kReadChunk) {
        // Keep the unparsed tail at the front; the parser bounds its length.
        std::copy(_in.begin() + static_cast<std::ptrdiff_t>(_inStart),
                  _in.begin() + static_cast<std::ptrdiff_t>(_inEnd), _in.begin());
        _inEnd -= _inStart;
        _inStart = 0;
        if (_in.size() - _inEnd < kReadChunk)
            _in.resize(_inEnd + kReadChunk);
    }
    while (true) {
        const ssize_t n = ::recv(_fd, _in.data() + _inEnd, _in.size() - _inEnd, 0);
        if (n > 0) {
            if (_server.arrivalLog() != nullptr)
                _receivedNs = ArrivalLog::nowNs();
            _inEnd += static_cast<size_t>(n);
            return true;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return false;
    }
}

SimSession::Extracted SimSession::extract()
{
    while (true) {
        if (_pending.size() >= kMaxPendingRequests)
            return Extracted::Full;
        size_t consumed = 0;
        const auto result =
            _parser.next(_in.data() + _inStart, _inEnd - _inStart, _format, !_tableRequested, _scratch, consumed);
        _inStart += consumed;
        switch (result) {
        case RequestParser::Result::NeedMore:
            if (consumed == 0 || _inStart == _inEnd)
                return Extracted::Drained;
            continue; // skipped the rest of a malformed request
        case RequestParser::Result::Ack: ++_acks; continue;
        case RequestParser::Result::TooLong:
            // Answered in order after what is queued, then the connection closes.
            process();
            appendNumber(_out, 0.0, _format.format);
            appendNumber(_out, static_cast<double>(eRequestTooLong), _format.format);
            return Extracted::Fatal;
        case RequestParser::Result::Request:
            if (_server.arrivalLog() != nullptr)
                ArrivalLog::describe(_scratch, _receivedNs, _server.tokenTable(), _server.keywords(), _arrivals);
            if (_scratch.tokenTableRequest)
                _tableRequested = true;
            if (_handler.readsControllerType(_scratch)) {
                const auto& st = _server.state().config();
                _format = controllerFormat(st.controllerType, st.version);
            }
            _pending.push_back(std::move(_scratch));
            _scratch = ParsedRequest{};
            continue;
        }
    }
}

void SimSession::respectListGrace()
{
    const uint64_t grace = _server.config().listGraceMicros;
    if (grace == 0 || _listEnded == std::chrono::steady_clock::time_point{})
        return;
    const auto since = std::chrono::steady_clock::now() - _listEnded;
    const auto wait = std::chrono::microseconds(grace) - std::chrono::duration_cast<std::chrono::microseconds>(since);
    _listEnded = {};
    if (wait.count() > 0) {
        flush();
        _server.pause(static_cast<uint64_t>(wait.count()));
    }
}

bool SimSession::process()
{
    while (true) {
        if (_list) {
            if (_acks == 0)
                return true;
            --_acks;
            _list->nextChunk(_out);
            if (_list->finished()) {
                _list.reset();
                flush();
                _listEnded = std::chrono::steady_clock::now();
            }
            continue;
        }
        if (_pending.empty())
            return true;
        ParsedRequest request = std::move(_pending.front());
        _pending.pop_front();

        if (request.tokenTableRequest && _faults.tableStopBytes >= 0) {
            const std::string& text = _server.tokenTable().text();
            _out.append(text, 0, std::min(text.size(), static_cast<size_t>(_faults.tableStopBytes)));
            if (_faults.tableStopClose)
                return false;
            flush();
            _silent = true;
            continue;
        }
        if (_silent)
            continue;
        if (request.tokenTableRequest) {
            // Dripping applies to replies; the table is sent whole.
            flush();
            _handler.handle(request, _out, _list);
            if (!flush(false))
                return false;
            continue;
        }
        ++_requests;
        if (_faults.closeAfter >= 0 && _requests > _faults.closeAfter)
            return false;
        if (_faults.silentAfter >= 0 && _requests > _faults.silentAfter) {
            _silent = true;
            continue;
        }
        respectListGrace();
        if (_faults.replyDelayMs > 0) {
            flush();
            if (_server.pause(uint64_t{_faults.replyDelayMs} * 1000))
                return false;
        }
        if (_out.size() > kFlushThreshold && !flush())
            return false; // keeps the batch bounded when a client pipelines large replies
        const size_t replyStart = _out.size();
        _handler.handle(request, _out, _list);
        if (_list)
            _acks = 0; // acknowledgements seen so far belonged to earlier lists
        if (_faults.corruptReplyRequest == _requests) {
            for (size_t i = replyStart; i < _out.size(); ++i)
                _out[i] = static_cast<char>(~static_cast<unsigned char>(_out[i]));
        }
        if (_faults.cutReplyRequest == _requests) {
            const size_t keep = static_cast<size_t>(std::max<int64_t>(0, _faults.cutReplyBytes));
            _out.resize(std::min(_out.size(), replyStart + keep));
            _list.reset();
            return false;
        }
    }
}

bool SimSession::flush(bool allowDrip)
{
    size_t sent = 0;
    const bool drip = allowDrip && _faults.dripMicros > 0;
    while (sent < _out.size()) {
        if (drip && sent > 0 && _server.pause(_faults.dripMicros))
            break;
        const size_t length = drip ? 1 : _out.size() - sent;
        const ssize_t n = ::send(_fd, _out.data() + sent, length, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            _out.clear();
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    const bool complete = sent == _out.size();
    _out.clear();
    return complete;
}

} // namespace Vantrel::HolvaneApi::Sim
