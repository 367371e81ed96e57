// Voice processing on synthetic speech-like signals: block buffering for any chunk size, echo
// cancellation with the far end on its own thread, the user's voice, gain control, allocations.

#include "audio/VoiceProcessor.h"

#include <QTest>

#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>
#include <random>
#include <span>
#include <thread>
#include <vector>

namespace {
thread_local bool countAllocations = false;
int allocations = 0;
}
void *operator new(std::size_t size)
{
    allocations += countAllocations;
    if (void *p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }

namespace {

constexpr int rate = VoiceProcessor::sampleRate;
using Signal = std::vector<float>;

// Low-passed noise under syllable- and phrase-rate envelopes whose rate and phase the seed sets.
Signal speechLike(double seconds, unsigned seed, float level)
{
    std::mt19937 random(seed);
    std::normal_distribution<float> gauss;
    Signal signal(size_t(seconds * rate));
    float low = 0, lower = 0;
    for (size_t i = 0; i < signal.size(); ++i) {
        low += 0.3f * (gauss(random) - low);
        lower += 0.3f * (low - lower);
        const double t = double(i) / rate;
        const double envelope = (1 + std::sin(2 * M_PI * (3 + seed % 5 * 0.37) * t + seed)) * (0.6 + 0.4 * std::sin(2 * M_PI * 0.9 * t + 2 * seed));
        signal[i] = float(1.5 * level * envelope * lower);
    }
    return signal;
}

// Level of the last `seconds` of `signal`, in dBFS.
double tailDb(const Signal &signal, double seconds = 3)
{
    double energy = 1e-20;
    for (float sample : std::span(signal).last(size_t(seconds * rate)))
        energy += double(sample) * sample;
    return 10 * std::log10(energy / (seconds * rate));
}

std::unique_ptr<VoiceProcessor> makeProcessor(bool gainControl = false)
{
    auto processor = VoiceProcessor::create();
    if (!processor)
        qFatal("VoiceProcessor::create: %s", qPrintable(processor.error().description));
    (*processor)->setGainControlEnabled(gainControl);
    return std::move(*processor);
}

// Runs `near` through `processor` in chunks of `chunk` frames while a second thread feeds `far`
// in chunks of `farChunk`. Like capture streams, each chunk is handed over once its last frame
// exists: the threads take turns by the end times of their chunks.
Signal run(VoiceProcessor &processor, Signal near, size_t chunk, const Signal &far = {}, size_t farChunk = 320)
{
    std::atomic<size_t> farPosition = far.empty() ? near.size() : 0, nearPosition = 0;
    const auto farEnd = [&](size_t at) { return std::min(far.size(), at + farChunk); };
    std::jthread farThread([&] {
        for (size_t at = 0; at < far.size(); at = farPosition = farEnd(at)) {
            while (std::min(near.size(), nearPosition + chunk) < farEnd(at))
                std::this_thread::yield();
            processor.analyzeFarEnd(far.data() + at, farEnd(at) - at);
        }
    });
    for (size_t at = 0; at < near.size(); at = nearPosition = std::min(near.size(), at + chunk)) {
        while (farPosition < far.size() && farEnd(farPosition) <= at + chunk)
            std::this_thread::yield();
        processor.processNearEnd(near.data() + at, std::min(chunk, near.size() - at));
    }
    return near;
}

} // namespace

class VoiceProcessorTest : public QObject {
    Q_OBJECT

private slots:
    void anyChunkSizeGivesTheBlockStream_data()
    {
        QTest::addColumn<size_t>("chunk");
        QTest::addColumn<bool>("bypassed");
        for (size_t chunk : {1, 159, 160, 161, 441, 4096}) {
            QTest::addRow("processed, %zu", chunk) << chunk << false;
            QTest::addRow("bypassed, %zu", chunk) << chunk << true;
        }
    }

    // Bypassed, the output is the input exactly one block late; processed, it is what whole blocks give.
    void anyChunkSizeGivesTheBlockStream()
    {
        QFETCH(size_t, chunk);
        QFETCH(bool, bypassed);
        const Signal input = speechLike(1.03, 1, 0.2f);
        auto processor = makeProcessor(true);
        processor->setBypassed(bypassed);
        Signal expected(VoiceProcessor::blockFrames, 0.0f);
        expected.insert(expected.end(), input.begin(), input.end() - VoiceProcessor::blockFrames);
        if (!bypassed)
            expected = run(*makeProcessor(true), input, VoiceProcessor::blockFrames);
        QVERIFY(run(*processor, input, chunk) == expected);
    }

    void echoIsCancelled_data()
    {
        QTest::addColumn<int>("delayMs");
        QTest::addColumn<int>("estimateMs");
        QTest::addColumn<size_t>("farChunk");
        QTest::addColumn<size_t>("nearChunk");
        QTest::addColumn<double>("seconds");
        QTest::newRow("estimate right, 30 ms far chunks") << 40 << 40 << size_t(480) << size_t(441) << 6.0;
        QTest::newRow("estimate right, long path, uneven chunks") << 150 << 150 << size_t(160) << size_t(1024) << 6.0;
        QTest::newRow("estimate 25 ms short") << 65 << 40 << size_t(320) << size_t(441) << 6.0;
        // The canceller starts estimating the delay itself after about 15 s.
        QTest::newRow("estimate far off") << 150 << 40 << size_t(480) << size_t(160) << 22.0;
    }

    void echoIsCancelled()
    {
        QFETCH(int, delayMs);
        QFETCH(int, estimateMs);
        QFETCH(size_t, farChunk);
        QFETCH(size_t, nearChunk);
        QFETCH(double, seconds);
        const Signal far = speechLike(seconds, 2, 0.3f);
        Signal near(far.size(), 0.0f);
        const size_t delay = size_t(delayMs) * rate / 1000, reflection = delay + 48;
        for (size_t i = delay; i < near.size(); ++i)
            near[i] = 0.5f * far[i - delay] + (i >= reflection ? 0.15f * far[i - reflection] : 0.0f);

        auto processor = makeProcessor();
        processor->setEchoDelayEstimate(std::chrono::milliseconds(estimateMs));
        const double reduction = tailDb(near) - tailDb(run(*processor, near, nearChunk, far, farChunk));
        QCOMPARE(processor->droppedFarEndFrames(), 0u);
        QCOMPARE(processor->failedBlocks(), 0u);
        // A far end out of step with the microphone still gives 2–10 dB: demand far more.
        QVERIFY2(reduction >= 20, qPrintable(QString::number(reduction)));
    }

    // The user's voice keeps its level, and gain control raises quiet speech.
    void voiceLevel_data()
    {
        QTest::addColumn<float>("level");
        QTest::addColumn<bool>("gainControl");
        QTest::addColumn<bool>("farEndPlaying");
        QTest::addColumn<double>("leastChangeDb");
        QTest::addColumn<double>("mostChangeDb");
        QTest::newRow("silent computer") << 0.1f << false << false << -4.0 << 3.0;
        // Headphones: nothing played reaches the microphone; the suppressor still takes a few dB.
        QTest::newRow("computer playing, no echo") << 0.1f << false << true << -10.0 << 3.0;
        QTest::newRow("quiet speech, gain control") << 0.01f << true << false << 10.0 << 40.0;
    }

    void voiceLevel()
    {
        QFETCH(float, level);
        QFETCH(bool, gainControl);
        QFETCH(bool, farEndPlaying);
        QFETCH(double, leastChangeDb);
        QFETCH(double, mostChangeDb);
        const Signal voice = speechLike(8, 5, level);
        const Signal output = run(*makeProcessor(gainControl), voice, 441, farEndPlaying ? speechLike(8, 4, 0.3f) : Signal{});
        const double change = tailDb(output, 2) - tailDb(voice, 2);
        QVERIFY2(change > leastChangeDb && change < mostChangeDb, qPrintable(QString::number(change)));
    }

    void audioCallsDoNotAllocate()
    {
        const Signal far = speechLike(2, 6, 0.3f);
        Signal near = speechLike(2, 7, 0.1f);
        auto processor = makeProcessor();
        countAllocations = true;
        for (size_t at = 0, chunk = 1; at + chunk <= near.size(); at += chunk, chunk = chunk * 7 % 997 + 1) {
            processor->setGainControlEnabled(at % 3000 < 1500);
            processor->setBypassed(at % 7000 < 700);
            processor->analyzeFarEnd(far.data() + at, chunk);
            processor->processNearEnd(near.data() + at, chunk);
        }
        countAllocations = false;
        QCOMPARE(allocations, 0);
    }
};

QTEST_GUILESS_MAIN(VoiceProcessorTest)
#include "VoiceProcessorTest.moc"
