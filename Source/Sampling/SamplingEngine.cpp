#include "Sampling/SamplingEngine.h"

#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

namespace Vantrel::HolvaneApi::Sampling {

namespace {

size_t bufferSamplesFor(const SamplingEngine::Config& config)
{
    if (config.bufferSamples != 0)
        return config.bufferSamples;
    const double seconds = config.rateHz * SamplingEngine::DefaultBufferSeconds;
    return std::max(SamplingEngine::MinBufferSamples, static_cast<size_t>(std::isfinite(seconds) ? seconds : 0.0));
}

// How often an ending run looks whether its samples in flight have completed.
constexpr std::chrono::milliseconds DrainPoll{1};

const SamplingEngine::Config& validated(const SamplingEngine::Config& config)
{
    if (!std::isfinite(config.rateHz) || config.rateHz <= 0.0 || config.rateHz > SamplingEngine::MaxRateHz)
        throw std::invalid_argument("the rate must be above 0 and at most " +
                                    std::to_string(static_cast<int>(SamplingEngine::MaxRateHz)) + " Hz");
    if (config.channels.empty())
        throw std::invalid_argument("no channel to sample");
    if (config.channels.size() > SamplingEngine::MaxChannels)
        throw std::invalid_argument("more channels than a batch holds (" + std::to_string(SamplingEngine::MaxChannels) +
                                    ")");
    if (config.maxInFlight > SamplingEngine::MaxInFlight)
        throw std::invalid_argument("the in-flight bound must lie in 1.." +
                                    std::to_string(SamplingEngine::MaxInFlight) + " (0: the engine's choice)");
    for (const BatchItem& channel : config.channels) {
        if (channel.kind != BatchItemKind::ReadVrValue && channel.kind != BatchItemKind::ReadTableValue &&
            channel.kind != BatchItemKind::ReadAxisParam)
            throw std::invalid_argument("a channel is a read of a VR, a TABLE value or an axis parameter");
    }
    return config;
}

} // namespace

int64_t SamplingEngine::nowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

SamplingEngine::SamplingEngine(Config config)
    : _channelsCount(static_cast<uint32_t>(validated(config).channels.size())), _rateHz(config.rateHz),
      _samples(config.samples), _inFlightBoundAsked(config.maxInFlight), _minVrBlock(config.minVrBlock),
      _minTableBlock(config.minTableBlock), _realtime(config.realtime),
      _spinNs(std::min<int64_t>(SpinNs, static_cast<int64_t>(1e9 / config.rateHz * SpinShare))),
      _buffer(bufferSamplesFor(config), config.channels.size())
{
    _channels = std::move(config.channels);
    for (BatchItem& channel : _channels) {
        if (channel.kind == BatchItemKind::ReadAxisParam) {
            _names.emplace_back(channel.param_name);
            channel.param_name = _names.back();
        }
    }
    _errors.assign(_channelsCount, 0);
    _taken.errors.assign(_channelsCount, 0);
}

SamplingEngine::~SamplingEngine() { stop(); }

bool SamplingEngine::channelError(ErrorCode error)
{
    return errorBand(error) == ControllerBand || error == BadResponse;
}

ErrorCode SamplingEngine::check(IConnection& connection, int64_t level, std::vector<ErrorCode>& per_channel) const
{
    per_channel.clear();
    if (level < 3)
        return Fail;
    per_channel.resize(_channels.size(), Fail);
    std::vector<BatchItem> items = _channels;
    const ErrorCode first = connection.BatchStart(items.data(), static_cast<uint32_t>(items.size()), nullptr, nullptr);
    for (size_t i = 0; i < items.size(); ++i)
        per_channel[i] = items[i].error;
    return first;
}

ErrorCode SamplingEngine::start(IConnection& connection, int64_t level, std::shared_ptr<void> keep_alive)
{
    if (level < 2)
        return Fail;
    const std::lock_guard<std::mutex> lifecycle(_lifecycleMutex);
    std::unique_lock<std::mutex> lock(_mutex);
    if (_state != State::Idle && _state != State::Lost)
        return Fail;
    if (_thread.joinable()) {
        // The last run's thread has ended its loop (the state says so).
        lock.unlock();
        _thread.join();
        lock.lock();
    }
    _stopRequested = false;
    _linkTrouble = false;
    _endCode = NoError;
    _endCause.clear();
    _keepAlive = std::move(keep_alive);
    _state = State::Running;
    _thread = std::thread(&SamplingEngine::run, this, &connection, level);
    // Tick 0 is when the thread is there to send it, not when it was asked
    // for: a thread that is slow to start misses nothing.
    _dataCv.wait(lock, [this] { return _prepared || _state != State::Running; });
    return NoError;
}

void SamplingEngine::stop()
{
    // One thread joins; another stopping at the same time waits for it.
    const std::lock_guard<std::mutex> lifecycle(_lifecycleMutex);
    {
        std::lock_guard<std::mutex> lock(_mutex);
        if (_state == State::Idle)
            _state = State::Stopped;
    }
    _stopRequested = true;
    wakeEngine();
    if (_thread.joinable() && _thread.get_id() != std::this_thread::get_id())
        _thread.join();
}

void SamplingEngine::wakeEngine()
{
    // The flag the sleeper looks at was set before: taking the mutex orders
    // this after its look, so the notification cannot fall between its look
    // and its wait.
    {
        const std::lock_guard<std::mutex> lock(_wakeMutex);
    }
    _engineCv.notify_all();
}

void SamplingEngine::noteEnd(ErrorCode code)
{
    std::lock_guard<std::mutex> lock(_mutex);
    if (_endCode == NoError)
        _endCode = code;
}

void SamplingEngine::prepare(int64_t level)
{
    std::lock_guard<std::mutex> lock(_mutex);
    if (_prepared)
        return;
    // Blocks need the block kinds of level 3; at level 2 one sample is in
    // flight at a time.
    _plan = level >= 3 ? planSample(_channels, _minVrBlock, _minTableBlock) : planSample(_channels, 0, 0);
    uint32_t bound = _inFlightBoundAsked;
    if (bound == 0) {
        const double covering = std::ceil(_rateHz * InFlightSeconds);
        bound = static_cast<uint32_t>(std::clamp(covering, static_cast<double>(MinInFlight), double{MaxInFlight}));
    }
    const uint32_t byRequests = std::max<uint32_t>(1, MaxRequestsInFlight / std::max<uint32_t>(1, _plan.requests));
    _inFlightBound = level >= 3 ? std::min(bound, byRequests) : 1;
    _slots.resize(_inFlightBound);
    for (Slot& slot : _slots) {
        slot.engine = this;
        slot.row.assign(_channelsCount, 0.0);
        slot.items.reserve(_plan.items.size());
    }
    const int64_t start = nowNs();
    const auto wall = std::chrono::system_clock::now();
    _startUtc =
        std::chrono::duration<double>(wall.time_since_epoch()).count() - static_cast<double>(nowNs() - start) * 1e-9;
    _schedule.emplace(start, _rateHz);
    _prepared = true;
}

bool SamplingEngine::sleepUntil(int64_t due_ns)
{
    const auto woken = [this] { return _stopRequested.load() || _linkTrouble.load(); };
    const int64_t spinFrom = due_ns - _spinNs;
    if (nowNs() < spinFrom) {
        const auto until = std::chrono::steady_clock::time_point(std::chrono::nanoseconds(spinFrom));
        std::unique_lock<std::mutex> lock(_wakeMutex);
        if (_engineCv.wait_until(lock, until, woken))
            return false;
    }
    // The last stretch on the clock: a sleep would end up to a wake-up's
    // latency late.
    while (nowNs() < due_ns) {
        if (woken())
            return false;
    }
    return !woken();
}

bool SamplingEngine::send(IConnection& connection, int64_t level, uint64_t seq, ErrorCode& error)
{
    // A slot is free when fewer than the bound are in flight: samples
    // complete in the order they were sent, so the oldest slots free first.
    Slot& slot = _slots[_sendIndex % _slots.size()];
    slot.seq = seq;
    slot.dueNs = _schedule->dueNs(seq) - _schedule->startNs();
    slot.items = _plan.items;
    const uint32_t inFlight = _inFlight.fetch_add(1) + 1;
    // Only this thread raises the figure: a plain store keeps the maximum.
    if (inFlight > _maxInFlightSeen.load())
        _maxInFlightSeen.store(inFlight);
    const auto count = static_cast<uint32_t>(slot.items.size());

    slot.sentNs = nowNs() - _schedule->startNs();
    if (level >= 3) {
        error = connection.BatchStart(slot.items.data(), count, &SamplingEngine::onDone, &slot);
    } else {
        // One blocking exchange: its outcome is complete when it returns.
        static_cast<void>(connection.Batch(slot.items.data(), count));
        complete(slot);
        error = NoError;
    }
    if (error != NoError) {
        _inFlight.fetch_sub(1);
        return false;
    }
    ++_sendIndex;
    return true;
}

void SamplingEngine::run(IConnection* connection, int64_t level)
{
    // Wake-ups when asked, not up to 50 us later (the default timer slack).
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    bool realtime = false;
    if (_realtime) {
        sched_param priority{};
        priority.sched_priority = RealtimePriority;
        realtime = ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &priority) == 0;
    }
    prepare(level);
    {
        std::lock_guard<std::mutex> lock(_mutex);
        _realtimeGranted = realtime;
        _dataCv.notify_all();
    }
    uint32_t bound = 0;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        bound = _inFlightBound;
    }

    State end = State::Stopped;
    ErrorCode refused = NoError;
    for (;;) {
        if (_stopRequested) {
            end = State::Stopped;
            break;
        }
        if (_linkTrouble) {
            if (!connection->IsConnected()) {
                end = State::Lost;
                break;
            }
            _linkTrouble = false;
        }
        if (_samples != 0 && _next >= _samples) {
            end = State::Finished;
            break;
        }
        if (!sleepUntil(_schedule->dueNs(_next)))
            continue;

        const SampleSchedule::Step step = _schedule->stepAt(nowNs(), _next);
        if (_samples != 0 && step.send >= _samples) {
            _missed += _samples - _next;
            _next = _samples;
            continue;
        }
        _missed += step.missed;
        _next = step.send + 1;
        if (_inFlight.load() >= bound) {
            ++_missed;
            continue;
        }
        ErrorCode error = NoError;
        if (!send(*connection, level, step.send, error)) {
            // Nothing went out for this tick. A refusal that says only that
            // (the link found down) is the run's end code only if no sample
            // in flight brings the loss's own code.
            ++_missed;
            if (error == BadArgument || error == Remote_UnknownToken) {
                noteEnd(error);
                end = State::Failed;
                break;
            }
            if (refused == NoError)
                refused = error;
            _linkTrouble = true;
        }
    }

    // Every sample in flight completes (the plug-in calls back for each, at
    // the latest when the link closes) before the run is over. Looked at, not
    // waited for: the reader thread's decrement is its last touch of the
    // engine, which may be gone right after it, so nothing may follow it.
    while (_inFlight.load() != 0)
        std::this_thread::sleep_for(DrainPoll);
    std::string cause;
    if (end == State::Lost) {
        std::string_view text;
        if (connection->ReadStringAttribute("LinkLossCause", text) == NoError)
            cause.assign(text);
    }
    if (refused != NoError)
        noteEnd(refused);
    std::shared_ptr<void> keepAlive;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        if (end == State::Lost)
            _endCause = cause;
        _state = end;
        keepAlive = std::move(_keepAlive);
        _dataCv.notify_all();
    }
    keepAlive.reset();
}

void SamplingEngine::onDone(void* context, ErrorCode /*first*/)
{
    auto* slot = static_cast<Slot*>(context);
    slot->engine->complete(*slot);
}

void SamplingEngine::complete(Slot& slot)
{
    const int64_t received = nowNs() - _schedule->startNs();
    std::fill(slot.row.begin(), slot.row.end(), std::numeric_limits<double>::quiet_NaN());
    ErrorCode lost = NoError;
    {
        std::lock_guard<std::mutex> lock(_mutex);
        for (size_t i = 0; i < slot.items.size(); ++i) {
            const BatchItem& item = slot.items[i];
            const uint32_t channel = _plan.channelOf[i];
            if (item.error == NoError)
                slot.row[channel] = item.value;
            else if (channelError(item.error))
                ++_errors[channel];
            else if (lost == NoError)
                lost = item.error;
        }
        if (lost != NoError) {
            // Its values are not all there: the sample is lost with the link.
            ++_missed;
            if (_endCode == NoError)
                _endCode = lost;
        } else if (!_buffer.push(static_cast<int64_t>(slot.seq), slot.dueNs, slot.sentNs, received, slot.row.data())) {
            ++_overflow;
        } else if (_wanted != 0 && _buffer.size() >= _wanted) {
            _dataCv.notify_all();
        }
    }
    if (lost != NoError) {
        _linkTrouble = true;
        wakeEngine();
    }
    // The slot is free from here on: the engine's thread may reuse it at
    // once, and the engine may end once none is in flight. Nothing after this.
    _inFlight.fetch_sub(1);
}

void SamplingEngine::read(SampleBlock& out, Counters& delta, size_t max_samples, size_t min_samples,
                          std::chrono::nanoseconds timeout)
{
    wait(max_samples, min_samples, timeout);
    take(out, delta, max_samples);
}

void SamplingEngine::wait(size_t max_samples, size_t min_samples, std::chrono::nanoseconds timeout)
{
    std::unique_lock<std::mutex> lock(_mutex);
    const size_t wanted =
        std::clamp<size_t>(min_samples, 1, std::min(_buffer.capacity(), std::max<size_t>(max_samples, 1)));
    const auto until = std::chrono::steady_clock::now() + timeout;
    _wanted = wanted;
    _dataCv.wait_until(lock, until, [&] { return _buffer.size() >= wanted || _state != State::Running; });
    _wanted = 0;
}

void SamplingEngine::take(SampleBlock& out, Counters& delta, size_t max_samples)
{
    out.clear();
    std::lock_guard<std::mutex> lock(_mutex);
    _buffer.take(max_samples, out);
    const uint64_t missed = _missed.load();
    delta.missed = missed - _taken.missed;
    delta.overflow = _overflow - _taken.overflow;
    delta.errors.resize(_channelsCount);
    for (size_t c = 0; c < _channelsCount; ++c)
        delta.errors[c] = _errors[c] - _taken.errors[c];
    _taken.missed = missed;
    _taken.overflow = _overflow;
    _taken.errors = _errors;
}

SamplingEngine::State SamplingEngine::state() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _state;
}

ErrorCode SamplingEngine::endCode() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _endCode;
}

std::string SamplingEngine::endCause() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _endCause;
}

int64_t SamplingEngine::startNs() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _schedule ? _schedule->startNs() : 0;
}

double SamplingEngine::startUtc() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _startUtc;
}

uint32_t SamplingEngine::inFlightBound() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _inFlightBound;
}

bool SamplingEngine::realtimeGranted() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _realtimeGranted;
}

SamplePlan SamplingEngine::plan() const
{
    std::lock_guard<std::mutex> lock(_mutex);
    return _plan;
}

} // namespace Vantrel::HolvaneApi::Sampling
