#include "EegImpedances.h"

#include <QtTest>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

namespace {

const double NaN = std::numeric_limits<double>::quiet_NaN();

// Simulated EEG: per channel a carrier of the given peak amplitude at rate / 4 with a phase of its own, a 10 Hz
// rhythm, mains, white noise and an electrode offset with slow drift.
struct Eeg {
    Eeg(std::vector<double> carriers, double rate, unsigned spb, unsigned seed, double mains = 50.0)
        : carriers(std::move(carriers)), rate(rate), mains(mains), phase(seed), spb(spb), rng(seed) {}

    // One block, sample after sample (channelMajor false) or channel after channel (true).
    std::vector<double> block(bool channelMajor = false) {
        const std::size_t channels = carriers.size();
        std::vector<double> v(channels * spb);
        std::normal_distribution<double> noise(0.0, 3.0);
        for (unsigned s = 0; s < spb; ++s, ++n) {
            const double t = double(n) / rate, carrierPhase = M_PI / 2 * double(n) + phase;
            for (std::size_t c = 0; c < channels; ++c)
                v[channelMajor ? c * spb + s : s * channels + c] = carriers[c] * std::cos(carrierPhase + 2.4 * c) +
                    30.0 * std::sin(2 * M_PI * 10.0 * t + c) + 20.0 * std::sin(2 * M_PI * mains * t + 3.0 * c) +
                    noise(rng) + 300.0 * double(c) + 15.0 * t;
        }
        return v;
    }

    void into(EegImpedances& imp, int blocks, bool channelMajor = false) {
        for (int b = 0; b < blocks; ++b) imp.push(block(channelMajor).data(), channelMajor);
    }

    std::vector<double> carriers;
    double rate, mains, phase;
    unsigned spb;
    std::mt19937 rng;
    long n = 0;
};

}  // namespace

class TestImpedances : public QObject {
    Q_OBJECT

private slots:
    void knownCarriersGiveTheirLevels() {
        const struct { double rate; unsigned spb; bool channelMajor; double mains; } setUps[] = {
            {256, 8, false, 50}, {256, 8, true, 50}, {256, 8, false, 60}, {1024, 16, false, 50},
            {1024, 16, true, 50}, {250, 10, true, 50}};
        const std::vector<double> carriers = {0.0, 3.0, 7.0, 14.0, 20.0, 30.0, 42.0, 65.0, 200.0};
        const std::vector<int> expected = {1, 1, 1, 2, 2, 3, 3, 4, 4};
        for (const auto& s : setUps) {
            Eeg eeg(carriers, s.rate, s.spb, 7, s.mains);
            EegImpedances imp(10, 2);
            imp.reset(unsigned(carriers.size()), s.spb, s.rate, "HW3.0_FW2.1", 1);
            eeg.into(imp, 9, s.channelMajor);
            double worst = 0.0;
            for (int b = 9; b < 200; ++b) {
                eeg.into(imp, 1, s.channelMajor);
                QCOMPARE(imp.levels(), expected);
                for (std::size_t c = 0; c < carriers.size(); ++c)
                    worst = std::max(worst, std::abs(imp.amplitudes()[c] - carriers[c]));
            }
            // Noise of 3 uV over a few tenths of a second: the amplitude is known to within a few uV.
            QVERIFY2(worst < 3.0, qPrintable(QString("%1 Hz: %2").arg(s.rate).arg(worst)));
        }
    }

    void levelsNeedAFullWindowAndFollowChanges() {
        Eeg eeg({3.0, 3.0}, 256.0, 8, 3);
        EegImpedances imp(10, 2);
        imp.reset(2, 8, 256.0, "HW3.0_FW2.1", 1);
        eeg.into(imp, 9);
        QCOMPARE(imp.levels(), std::vector<int>(2, 4));
        eeg.into(imp, 1);
        QCOMPARE(imp.levels(), std::vector<int>({1, 1}));

        eeg.carriers[1] = 100.0;
        std::vector<double> before = imp.amplitudes();
        for (int b = 1; b <= 12; ++b) {
            eeg.into(imp, 1);
            QVERIFY((imp.amplitudes() == before) == (b % 2 == 1));  // refreshed every other block only
            before = imp.amplitudes();
        }
        QCOMPARE(imp.levels(), std::vector<int>({1, 4}));
        eeg.carriers[1] = 0.0;
        eeg.into(imp, 10, true);
        QCOMPARE(imp.levels(), std::vector<int>({1, 1}));

        // A value that is not finite means no contact until it leaves the window.
        auto bad = eeg.block();
        bad[3 * 2 + 1] = NaN;  // channel 1, sample 3
        imp.push(bad.data(), false);
        eeg.into(imp, 1);
        QCOMPARE(imp.levels(), std::vector<int>({1, 4}));
        eeg.into(imp, 10);
        QCOMPARE(imp.levels(), std::vector<int>({1, 1}));

        // reset forgets: no contact again until a new window is full, and the channel count may change.
        imp.reset(5, 8, 256.0, "HW2.0_FW1.1", 2);
        QCOMPARE(imp.levels(), std::vector<int>(5, 4));
    }

    void degenerateSetUps() {
        EegImpedances none;
        none.push(nullptr, false);  // before any reset
        none.reset(0, 8, 256.0, "", 0);
        const double v[8] = {};
        none.push(v, false);
        QVERIFY(none.levels().empty());

        // Nonsense arguments are clamped; one sample per block still works once a usable window is full.
        EegImpedances odd(0, -3);
        QVERIFY(odd.windowBlocks() == 1 && odd.updateEvery() == 1);
        odd.reset(1, 1, 256.0, "", 0);
        Eeg({60.0}, 256.0, 1, 9).into(odd, 64);
        odd.push(nullptr, true);
        QCOMPARE(odd.levels(), std::vector<int>({4}));

        // An unknown rate still measures the carrier (it sits at a quarter of any rate).
        EegImpedances noRate;
        noRate.reset(1, 8, 0.0, "", 0);
        Eeg({20.0}, 256.0, 8, 11).into(noRate, 20);
        QCOMPARE(noRate.levels(), std::vector<int>({2}));
    }
};

QTEST_GUILESS_MAIN(TestImpedances)
#include "test_impedances.moc"
