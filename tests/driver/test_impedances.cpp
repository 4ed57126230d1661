#include "EegImpedances.h"
#include "SimTestSupport.h"

#include <QtTest>

#include <cmath>
#include <limits>
#include <random>

namespace {

// Simulated EEG: per channel a carrier of the given peak amplitude at rate / 4 with a random phase, a 10 Hz
// rhythm, 50 Hz mains, white noise and an electrode offset with slow drift.
class Eeg {
public:
    Eeg(std::vector<double> carriers, double rate, unsigned samplesPerBlock, unsigned seed, double mainsHz = 50.0)
        : carriers_(std::move(carriers)), rate_(rate), spb_(samplesPerBlock), mainsHz_(mainsHz), rng_(seed)
    {
        std::uniform_real_distribution<double> phase(0.0, 2.0 * M_PI);
        for (std::size_t c = 0; c < carriers_.size(); ++c)
            phases_.push_back({phase(rng_), phase(rng_), phase(rng_)});
    }

    void setCarrier(std::size_t channel, double amplitude) { carriers_[channel] = amplitude; }

    // One block, sample after sample (channelMajor false) or channel after channel (true).
    std::vector<double> block(bool channelMajor)
    {
        const std::size_t channels = carriers_.size();
        std::vector<double> v(channels * spb_);
        std::normal_distribution<double> noise(0.0, 3.0);
        for (unsigned s = 0; s < spb_; ++s, ++n_) {
            const double t = double(n_) / rate_;
            for (std::size_t c = 0; c < channels; ++c) {
                const auto& ph = phases_[c];
                const double x = carriers_[c] * std::cos(M_PI / 2.0 * double(n_) + ph[0])
                    + 30.0 * std::sin(2 * M_PI * 10.0 * t + ph[1]) + 20.0 * std::sin(2 * M_PI * mainsHz_ * t + ph[2])
                    + noise(rng_) + 300.0 * double(c) + 15.0 * t;
                v[channelMajor ? c * spb_ + s : s * channels + c] = x;
            }
        }
        return v;
    }

private:
    std::vector<double> carriers_;
    double rate_;
    unsigned spb_;
    double mainsHz_;
    std::mt19937 rng_;
    std::vector<std::array<double, 3>> phases_;
    long n_ = 0;
};

}  // namespace

class TestImpedances : public QObject {
    Q_OBJECT

private slots:
    void thresholds();
    void knownCarriersGiveTheirLevels_data();
    void knownCarriersGiveTheirLevels();
    void noLevelBeforeAFullWindow();
    void updatesEveryOtherBlockAndFollowsChanges();
    void nonFiniteSamplesMeanNoContactUntilTheyLeaveTheWindow();
    void degenerateSetUps();
    void simulatedHeadsetsGiveSteadyLevels();
};

void TestImpedances::thresholds()
{
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    const std::pair<double, int> table[] = {{0.0, 1}, {9.999, 1}, {10.0, 2}, {24.999, 2}, {25.0, 3}, {49.999, 3},
                                            {50.0, 4}, {1e9, 4}, {inf, 4}, {nan, 4}, {-1.0, 4}};
    for (const auto& [amplitude, level] : table)
        QCOMPARE(EegImpedances::levelForAmplitude(amplitude), level);
}

void TestImpedances::knownCarriersGiveTheirLevels_data()
{
    QTest::addColumn<double>("rate");
    QTest::addColumn<unsigned>("samplesPerBlock");
    QTest::addColumn<bool>("channelMajor");
    QTest::addColumn<double>("mains");
    QTest::newRow("256 Hz, sample after sample") << 256.0 << 8u << false << 50.0;
    QTest::newRow("256 Hz, channel after channel") << 256.0 << 8u << true << 50.0;
    QTest::newRow("256 Hz, 60 Hz mains") << 256.0 << 8u << false << 60.0;
    QTest::newRow("1024 Hz, sample after sample") << 1024.0 << 16u << false << 50.0;
    QTest::newRow("1024 Hz, channel after channel") << 1024.0 << 16u << true << 50.0;
    QTest::newRow("250 Hz") << 250.0 << 10u << true << 50.0;
}

void TestImpedances::knownCarriersGiveTheirLevels()
{
    QFETCH(double, rate);
    QFETCH(unsigned, samplesPerBlock);
    QFETCH(bool, channelMajor);
    QFETCH(double, mains);
    const std::vector<double> carriers = {0.0, 3.0, 7.0, 14.0, 20.0, 30.0, 42.0, 65.0, 200.0};
    const std::vector<int> expected = {1, 1, 1, 2, 2, 3, 3, 4, 4};
    Eeg eeg(carriers, rate, samplesPerBlock, 7, mains);
    EegImpedances imp(10, 2);
    imp.reset(unsigned(carriers.size()), samplesPerBlock, rate, "HW3.0_FW2.1", 1);
    double worst = 0.0;
    for (int b = 0; b < 200; ++b) {
        imp.push(eeg.block(channelMajor).data(), channelMajor);
        if (b < 9)
            continue;
        QCOMPARE(imp.levels(), expected);
        for (std::size_t c = 0; c < carriers.size(); ++c)
            worst = std::max(worst, std::abs(imp.amplitudes()[c] - carriers[c]));
    }
    // Noise of 3 uV over a few tenths of a second: the amplitude is known to within a few uV.
    QVERIFY2(worst < 3.0, qPrintable(QString::number(worst)));
}

void TestImpedances::noLevelBeforeAFullWindow()
{
    Eeg eeg({2.0, 2.0, 2.0}, 256.0, 8, 1);
    EegImpedances imp(10, 2);
    imp.reset(3, 8, 256.0, "HW2.0_FW1.1", 2);
    QCOMPARE(imp.levels(), std::vector<int>(3, 4));
    for (int b = 0; b < 9; ++b) {
        imp.push(eeg.block(false).data(), false);
        QCOMPARE(imp.levels(), std::vector<int>(3, 4));
    }
    imp.push(eeg.block(false).data(), false);
    QCOMPARE(imp.levels(), std::vector<int>(3, 1));

    // reset forgets: no contact again until a new window is full, and the channel count may change.
    imp.reset(5, 8, 256.0, "HW2.0_FW1.1", 2);
    QCOMPARE(imp.levels(), std::vector<int>(5, 4));
}

void TestImpedances::updatesEveryOtherBlockAndFollowsChanges()
{
    Eeg eeg({3.0, 3.0}, 256.0, 8, 3);
    EegImpedances imp(10, 2);
    imp.reset(2, 8, 256.0, "HW3.0_FW2.1", 1);
    for (int b = 0; b < 10; ++b)
        imp.push(eeg.block(false).data(), false);
    QCOMPARE(imp.levels(), std::vector<int>({1, 1}));

    eeg.setCarrier(1, 100.0);
    std::vector<double> before = imp.amplitudes();
    for (int b = 1; b <= 12; ++b) {
        imp.push(eeg.block(false).data(), false);
        if (b % 2 == 1)
            QCOMPARE(imp.amplitudes(), before);  // between updates nothing moves
        else
            QVERIFY(imp.amplitudes() != before);
        before = imp.amplitudes();
    }
    QCOMPARE(imp.levels(), std::vector<int>({1, 4}));
    eeg.setCarrier(1, 0.0);
    for (int b = 0; b < 10; ++b)
        imp.push(eeg.block(true).data(), true);
    QCOMPARE(imp.levels(), std::vector<int>({1, 1}));

    // A window of 4 blocks refreshed every block sees a change within 4 blocks.
    EegImpedances quick(4, 1);
    quick.reset(2, 8, 256.0, "", 0);
    for (int b = 0; b < 4; ++b)
        quick.push(eeg.block(false).data(), false);
    QCOMPARE(quick.levels(), std::vector<int>({1, 1}));
    eeg.setCarrier(0, 35.0);
    for (int b = 0; b < 4; ++b)
        quick.push(eeg.block(false).data(), false);
    QCOMPARE(quick.levels(), std::vector<int>({3, 1}));
}

void TestImpedances::nonFiniteSamplesMeanNoContactUntilTheyLeaveTheWindow()
{
    Eeg eeg({3.0, 3.0}, 256.0, 8, 5);
    EegImpedances imp(10, 2);
    imp.reset(2, 8, 256.0, "HW3.0_FW2.1", 1);
    for (int b = 0; b < 10; ++b)
        imp.push(eeg.block(false).data(), false);
    auto bad = eeg.block(false);
    bad[3 * 2 + 1] = std::numeric_limits<double>::quiet_NaN();  // channel 1, sample 3
    imp.push(bad.data(), false);
    imp.push(eeg.block(false).data(), false);
    QCOMPARE(imp.levels(), std::vector<int>({1, 4}));
    for (int b = 0; b < 10; ++b)
        imp.push(eeg.block(false).data(), false);
    QCOMPARE(imp.levels(), std::vector<int>({1, 1}));
}

void TestImpedances::degenerateSetUps()
{
    EegImpedances none;
    QVERIFY(none.levels().empty());
    none.push(nullptr, false);  // before any reset
    none.reset(0, 8, 256.0, "", 0);
    const double v[8] = {};
    none.push(v, false);
    QVERIFY(none.levels().empty());

    // Nonsense arguments are clamped; one sample per block still works once a usable window is full.
    EegImpedances odd(0, -3);
    QCOMPARE(odd.windowBlocks(), 1);
    QCOMPARE(odd.updateEvery(), 1);
    odd.reset(1, 1, 256.0, "", 0);
    Eeg eeg({60.0}, 256.0, 1, 9);
    for (int b = 0; b < 64; ++b)
        odd.push(eeg.block(false).data(), false);
    QCOMPARE(odd.levels(), std::vector<int>({4}));
    odd.push(nullptr, true);
    QCOMPARE(odd.levels(), std::vector<int>({4}));

    // An unknown or silly rate still measures the carrier (it sits at a quarter of any rate).
    EegImpedances noRate;
    noRate.reset(1, 8, 0.0, "", 0);
    Eeg slow({20.0}, 256.0, 8, 11);
    for (int b = 0; b < 20; ++b)
        noRate.push(slow.block(false).data(), false);
    QCOMPARE(noRate.levels(), std::vector<int>({2}));
}

// The simulated headsets set each electrode's contact through their carrier: read as the viewer does, every
// channel must settle on one level at once and keep it, and the fleet's mix of contacts must show.
void TestImpedances::simulatedHeadsetsGiveSteadyLevels()
{
    QTemporaryDir cards;
    QVERIFY(cards.isValid());
    freshFleet(cards, 16.0);
    struct Headset {
        int usbPort;
        const char* name;
        unsigned channels, samplesPerBlock;
        double rate;
    };
    const Headset headsets[] = {{0, "KVN-A32-0412L", 32, 8, 256.0}, {10, "KVN-H64-1010", 64, 16, 1024.0}};
    for (const Headset& h : headsets) {
        auto driver = h.usbPort ? usbDriver(h.usbPort) : bluetoothDriver(h.name);
        QVERIFY2(driver->isConnected(), h.name);
        QCOMPARE(driver->getSignal(0).name.substr(0, 3), std::string("EEG"));
        QVERIFY(driver->start());
        EegImpedances imp(10, 2);
        imp.reset(h.channels, h.samplesPerBlock, h.rate, driver->getVersion(), 1);
        std::vector<int> settled;
        std::vector<int> counts(5, 0);
        const int blocks = int(h.rate / h.samplesPerBlock) * 15;
        for (int b = 0; b < blocks; ++b) {
            Block block;
            QVERIFY2(readBlock(*driver, block), h.name);
            QVERIFY(block.data.size() >= h.channels * h.samplesPerBlock);
            imp.push(block.data.data(), false);  // EEG comes first, sample after sample
            if (b == 9) {
                settled = imp.levels();
                for (int level : settled)
                    ++counts[std::size_t(level)];
            } else if (b > 9 && imp.levels() != settled) {
                QFAIL(qPrintable(QString("%1: a level changed at block %2").arg(h.name).arg(b)));
            }
        }
        QVERIFY(driver->stop());
        // Half the electrodes are simulated in good contact, the others not: expect many level 1, but not only.
        QVERIFY2(counts[1] >= int(h.channels) / 4, qPrintable(QString::number(counts[1])));
        QVERIFY(counts[1] < int(h.channels));
    }
}

QTEST_GUILESS_MAIN(TestImpedances)
#include "test_impedances.moc"
