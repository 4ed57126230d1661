#include "MkfilterWrapper.h"

#include <QtTest>

#include <cmath>
#include <complex>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>

namespace {

using Kind = MkfilterWrapper::FilterType;

Kind kindFromName(const std::string& name)
{
    if (name == "lowpass")
        return MkfilterWrapper::LOW_PASS;
    if (name == "highpass")
        return MkfilterWrapper::HIGH_PASS;
    if (name == "bandpass")
        return MkfilterWrapper::BAND_PASS;
    return MkfilterWrapper::BAND_STOP;
}

std::vector<double> numbers(std::istringstream& line)
{
    std::vector<double> v;
    double x;
    while (line >> x)
        v.push_back(x);
    return v;
}

// |H(e^{jw})| of the cascade at frequency f.
double gainAt(const MkfilterWrapper& f, double hz)
{
    const std::complex<double> z = std::polar(1.0, -2.0 * M_PI * hz / f.samplingRate());  // z^-1
    std::complex<double> h = 1.0;
    for (const auto& s : f.sections())
        h *= (s[0] + s[1] * z + s[2] * z * z) / (s[3] + s[4] * z + s[5] * z * z);
    return std::abs(h);
}

DataBlock noise(std::size_t rows, std::size_t cols, unsigned seed)
{
    std::mt19937 rng(seed);
    std::normal_distribution<double> n(0.0, 10.0);
    DataBlock b(rows, cols);
    for (std::size_t r = 0; r < rows; ++r)
        for (std::size_t c = 0; c < cols; ++c)
            b.at(r, c) = n(rng) + 100.0 * double(r);
    return b;
}

// Filters `in` (channels x total) in consecutive pieces of the given widths, cycling through them.
DataBlock filterInPieces(MkfilterWrapper& f, const DataBlock& in, const std::vector<std::size_t>& widths)
{
    DataBlock out(in.rows(), in.cols());
    DataBlock piece, filtered;
    std::size_t start = 0, w = 0;
    while (start < in.cols()) {
        const std::size_t width = std::min(widths[w++ % widths.size()], in.cols() - start);
        piece.resize(in.rows(), width);
        for (std::size_t r = 0; r < in.rows(); ++r)
            for (std::size_t c = 0; c < width; ++c)
                piece.at(r, c) = in.value(r, start + c);
        f.filter(piece, filtered);
        for (std::size_t r = 0; r < in.rows(); ++r)
            for (std::size_t c = 0; c < width; ++c)
                out.at(r, start + c) = filtered.value(r, c);
        start += width;
    }
    return out;
}

bool bitwiseEqual(const DataBlock& a, const DataBlock& b)
{
    return a.rows() == b.rows() && a.cols() == b.cols()
        && std::memcmp(a.data(), b.data(), a.rows() * a.cols() * sizeof(double)) == 0;
}

}  // namespace

class TestFilters : public QObject {
    Q_OBJECT

private slots:
    void matchesScipy();
    void edgesAreMinusThreeDecibels_data();
    void edgesAreMinusThreeDecibels();
    void invalidDesignsPassThrough_data();
    void invalidDesignsPassThrough();
    void stateCarriesAcrossBlocksOfAnySize();
    void channelsAreIndependentAndResetClearsState();
    void inPlaceAndOddShapes();
    void recoversFromNonFiniteInput();
    void extremeDesignsStayStable();
};

void TestFilters::matchesScipy()
{
    const QByteArray path = qgetenv("KVN_FILTER_REFERENCE");
    if (path.isEmpty())
        QSKIP("KVN_FILTER_REFERENCE not set: run through CTest, which computes the SciPy reference first");
    std::ifstream file(path.constData());
    QVERIFY2(file.good(), path.constData());

    int cases = 0, invalid = 0;
    std::string text;
    while (std::getline(file, text)) {
        std::istringstream line(text);
        std::string tag, kind;
        int order = 0;
        double rate = 0, f1 = 0, f2 = 0;
        line >> tag >> kind >> order >> rate >> f1 >> f2;
        const QByteArray label = QByteArray::fromStdString(text.substr(0, 80));
        if (tag == "invalid") {
            MkfilterWrapper f(2, 8, rate);
            QVERIFY2(!f.Butterworth(kindFromName(kind), order, f1, f2), label.constData());
            ++invalid;
            continue;
        }
        QCOMPARE(tag, std::string("case"));
        unsigned channels = 0, spb = 0, blocks = 0, sectionCount = 0;
        line >> channels >> spb >> blocks >> sectionCount;
        std::vector<MkfilterWrapper::Section> expected(sectionCount);
        for (auto& s : expected) {
            std::getline(file, text);
            std::istringstream l(text);
            l >> tag;
            const auto v = numbers(l);
            QCOMPARE(v.size(), std::size_t(6));
            std::copy(v.begin(), v.end(), s.begin());
        }
        std::getline(file, text);
        std::istringstream inLine(text);
        inLine >> tag;
        const auto in = numbers(inLine);
        std::getline(file, text);
        std::istringstream outLine(text);
        outLine >> tag;
        const auto out = numbers(outLine);
        const std::size_t total = std::size_t(spb) * blocks;
        QCOMPARE(in.size(), channels * total);
        QCOMPARE(out.size(), channels * total);

        MkfilterWrapper f(channels, spb, rate);
        QVERIFY2(f.Butterworth(kindFromName(kind), order, f1, f2), label.constData());
        QCOMPARE(f.sections().size(), expected.size());
        for (std::size_t si = 0; si < expected.size(); ++si) {
            for (std::size_t part = 0; part < 2; ++part) {
                double scale = 0.0;
                for (std::size_t i = 0; i < 3; ++i)
                    scale = std::max(scale, std::abs(expected[si][part * 3 + i]));
                for (std::size_t i = 0; i < 3; ++i) {
                    const double got = f.sections()[si][part * 3 + i], want = expected[si][part * 3 + i];
                    if (std::abs(got - want) > 1e-9 * scale)
                        QFAIL(qPrintable(QString("%1: section %2 coefficient %3: %4 instead of %5")
                                             .arg(label.constData()).arg(si).arg(part * 3 + i)
                                             .arg(got, 0, 'g', 17).arg(want, 0, 'g', 17)));
                }
            }
        }
        // Block after block, as the viewer runs it; the reference filtered each channel in one go.
        DataBlock whole(in.data(), channels, total);
        const DataBlock got = filterInPieces(f, whole, {spb});
        double peak = 1.0;
        for (double v : out)
            peak = std::max(peak, std::abs(v));
        for (std::size_t i = 0; i < out.size(); ++i) {
            if (std::abs(got.data()[i] - out[i]) > 1e-9 * peak)
                QFAIL(qPrintable(QString("%1: output %2: %3 instead of %4").arg(label.constData()).arg(i)
                                     .arg(got.data()[i], 0, 'g', 17).arg(out[i], 0, 'g', 17)));
        }
        ++cases;
    }
    QVERIFY(cases >= 100);
    QVERIFY(invalid >= 5);
}

void TestFilters::edgesAreMinusThreeDecibels_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("order");
    QTest::addColumn<double>("rate");
    QTest::addColumn<double>("f1");
    QTest::addColumn<double>("f2");
    QTest::addColumn<double>("pass");
    QTest::addColumn<double>("stop");
    QTest::newRow("low-pass 30 Hz") << int(MkfilterWrapper::LOW_PASS) << 4 << 256.0 << 30.0 << -1.0 << 5.0 << 100.0;
    QTest::newRow("high-pass 0.5 Hz") << int(MkfilterWrapper::HIGH_PASS) << 4 << 1024.0 << 0.5 << -1.0 << 20.0 << 0.05;
    QTest::newRow("band-pass 1-30 Hz") << int(MkfilterWrapper::BAND_PASS) << 4 << 256.0 << 1.0 << 30.0 << 8.0 << 100.0;
    QTest::newRow("notch 48-52 Hz") << int(MkfilterWrapper::BAND_STOP) << 4 << 256.0 << 48.0 << 52.0 << 10.0 << 50.0;
    QTest::newRow("notch 43-57, order 3") << int(MkfilterWrapper::BAND_STOP) << 3 << 1024.0 << 43.0 << 57.0 << 200.0 << 50.0;
    QTest::newRow("band-pass order 8") << int(MkfilterWrapper::BAND_PASS) << 8 << 250.0 << 8.0 << 12.0 << 10.0 << 50.0;
    QTest::newRow("low-pass order 1") << int(MkfilterWrapper::LOW_PASS) << 1 << 250.0 << 40.0 << -1.0 << 0.5 << 124.9;
}

// Independent of the reference file: a Butterworth design is 3 dB down at each edge (pre-warped), unity in the
// pass band and small in the stop band.
void TestFilters::edgesAreMinusThreeDecibels()
{
    QFETCH(int, kind);
    QFETCH(int, order);
    QFETCH(double, rate);
    QFETCH(double, f1);
    QFETCH(double, f2);
    QFETCH(double, pass);
    QFETCH(double, stop);
    MkfilterWrapper f(1, 8, rate);
    QVERIFY(f.Butterworth(Kind(kind), order, f1, f2));
    QCOMPARE(int(f.sections().size()), (kind >= MkfilterWrapper::BAND_PASS ? 2 * order + 1 : order + 1) / 2);
    const double halfPower = 1.0 / std::sqrt(2.0);
    QVERIFY(std::abs(gainAt(f, f1) - halfPower) < 1e-9);
    if (f2 > 0)
        QVERIFY(std::abs(gainAt(f, f2) - halfPower) < 1e-9);
    QVERIFY2(std::abs(gainAt(f, pass) - 1.0) < 0.01, qPrintable(QString::number(gainAt(f, pass))));
    QVERIFY2(gainAt(f, stop) < 0.05, qPrintable(QString::number(gainAt(f, stop))));
    for (const auto& s : f.sections()) {
        QCOMPARE(s[3], 1.0);
        // Stable: both roots of 1 + a1 z^-1 + a2 z^-2 inside the unit circle.
        QVERIFY(std::abs(s[5]) < 1.0 && std::abs(s[4]) < 1.0 + s[5]);
    }
}

void TestFilters::invalidDesignsPassThrough_data()
{
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    QTest::addColumn<double>("rate");
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("order");
    QTest::addColumn<double>("f1");
    QTest::addColumn<double>("f2");
    QTest::newRow("order 0") << 256.0 << int(MkfilterWrapper::LOW_PASS) << 0 << 30.0 << -1.0;
    QTest::newRow("order 9") << 256.0 << int(MkfilterWrapper::BAND_PASS) << 9 << 1.0 << 30.0;
    QTest::newRow("negative order") << 256.0 << int(MkfilterWrapper::HIGH_PASS) << -2 << 1.0 << -1.0;
    QTest::newRow("cut-off at Nyquist") << 256.0 << int(MkfilterWrapper::LOW_PASS) << 4 << 128.0 << -1.0;
    QTest::newRow("cut-off zero") << 256.0 << int(MkfilterWrapper::HIGH_PASS) << 4 << 0.0 << -1.0;
    QTest::newRow("cut-off NaN") << 256.0 << int(MkfilterWrapper::LOW_PASS) << 4 << nan << -1.0;
    QTest::newRow("cut-off infinite") << 256.0 << int(MkfilterWrapper::LOW_PASS) << 4 << inf << -1.0;
    QTest::newRow("band without upper edge") << 256.0 << int(MkfilterWrapper::BAND_PASS) << 4 << 1.0 << -1.0;
    QTest::newRow("band edges equal") << 256.0 << int(MkfilterWrapper::BAND_STOP) << 4 << 50.0 << 50.0;
    QTest::newRow("band edges reversed") << 256.0 << int(MkfilterWrapper::BAND_STOP) << 4 << 52.0 << 48.0;
    QTest::newRow("upper edge NaN") << 256.0 << int(MkfilterWrapper::BAND_PASS) << 4 << 1.0 << nan;
    QTest::newRow("upper edge past Nyquist") << 256.0 << int(MkfilterWrapper::BAND_PASS) << 4 << 1.0 << 200.0;
    QTest::newRow("rate zero") << 0.0 << int(MkfilterWrapper::LOW_PASS) << 4 << 30.0 << -1.0;
    QTest::newRow("rate negative") << -256.0 << int(MkfilterWrapper::LOW_PASS) << 4 << 30.0 << -1.0;
    QTest::newRow("rate NaN") << nan << int(MkfilterWrapper::LOW_PASS) << 4 << 30.0 << -1.0;
    QTest::newRow("unknown kind") << 256.0 << 7 << 4 << 30.0 << -1.0;
}

void TestFilters::invalidDesignsPassThrough()
{
    QFETCH(double, rate);
    QFETCH(int, kind);
    QFETCH(int, order);
    QFETCH(double, f1);
    QFETCH(double, f2);
    MkfilterWrapper f(3, 8, rate);
    const DataBlock in = noise(3, 8, 1);
    DataBlock out;
    QVERIFY(!f.Butterworth(Kind(kind), order, f1, f2));
    QVERIFY(!f.isDesigned());
    f.filter(in, out);
    QVERIFY(bitwiseEqual(in, out));

    // A refused design also drops the one that was there before.
    if (rate == 256.0) {
        MkfilterWrapper g(3, 8, rate);
        QVERIFY(g.Butterworth(MkfilterWrapper::LOW_PASS, 4, 30.0, -1.0));
        g.filter(in, out);
        QVERIFY(!bitwiseEqual(in, out));
        QVERIFY(!g.Butterworth(Kind(kind), order, f1, f2));
        QVERIFY(!g.isDesigned());
        g.filter(in, out);
        QVERIFY(bitwiseEqual(in, out));
    }
}

void TestFilters::stateCarriesAcrossBlocksOfAnySize()
{
    const DataBlock in = noise(4, 1000, 2);
    MkfilterWrapper once(4, 1000, 1024.0), pieces(4, 16, 1024.0);
    QVERIFY(once.Butterworth(MkfilterWrapper::BAND_PASS, 8, 1.0, 30.0));
    QVERIFY(pieces.Butterworth(MkfilterWrapper::BAND_PASS, 8, 1.0, 30.0));
    DataBlock expected;
    once.filter(in, expected);
    // Blocks of 16 as configured, and odd widths including empty blocks: identical arithmetic, identical bits.
    QVERIFY(bitwiseEqual(filterInPieces(pieces, in, {16}), expected));
    pieces.reset();
    QVERIFY(bitwiseEqual(filterInPieces(pieces, in, {1, 0, 7, 16, 33, 0, 2}), expected));
}

void TestFilters::channelsAreIndependentAndResetClearsState()
{
    MkfilterWrapper f(2, 8, 256.0);
    QVERIFY(f.Butterworth(MkfilterWrapper::HIGH_PASS, 2, 0.5, -1.0));
    DataBlock a = noise(2, 64, 3), b = a;
    for (std::size_t c = 0; c < 64; ++c)
        b.at(0, c) = 1e6 * std::sin(double(c));  // channel 0 differs wildly, channel 1 is the same
    const DataBlock outA = filterInPieces(f, a, {8});
    f.reset();
    const DataBlock outB = filterInPieces(f, b, {8});
    for (std::size_t c = 0; c < 64; ++c)
        QCOMPARE(outB.value(1, c), outA.value(1, c));
    f.reset();
    QVERIFY(bitwiseEqual(filterInPieces(f, a, {8}), outA));
    // A new design starts from a clear state too.
    MkfilterWrapper fresh(2, 8, 256.0);
    QVERIFY(fresh.Butterworth(MkfilterWrapper::HIGH_PASS, 2, 0.5, -1.0));
    QVERIFY(f.Butterworth(MkfilterWrapper::HIGH_PASS, 2, 0.5, -1.0));
    QVERIFY(bitwiseEqual(filterInPieces(f, a, {8}), filterInPieces(fresh, a, {8})));
}

void TestFilters::inPlaceAndOddShapes()
{
    MkfilterWrapper f(2, 8, 256.0), g(2, 8, 256.0);
    QVERIFY(f.Butterworth(MkfilterWrapper::BAND_STOP, 4, 48.0, 52.0));
    QVERIFY(g.Butterworth(MkfilterWrapper::BAND_STOP, 4, 48.0, 52.0));
    const DataBlock in = noise(2, 8, 4);
    DataBlock out, inPlace = in;
    f.filter(in, out);
    g.filter(inPlace, inPlace);
    QVERIFY(bitwiseEqual(out, inPlace));

    // More rows than channels: the extra rows pass unchanged. Fewer rows: no trouble. Empty: nothing.
    const DataBlock wide = noise(3, 8, 5);
    f.filter(wide, out);
    QCOMPARE(out.rows(), std::size_t(3));
    for (std::size_t c = 0; c < 8; ++c)
        QCOMPARE(out.value(2, c), wide.value(2, c));
    const DataBlock narrow = noise(1, 8, 6);
    f.filter(narrow, out);
    QCOMPARE(out.rows(), std::size_t(1));
    f.filter(DataBlock(), out);
    QVERIFY(out.empty());

    MkfilterWrapper none(0, 8, 256.0);
    QVERIFY(none.Butterworth(MkfilterWrapper::LOW_PASS, 2, 30.0, -1.0));
    none.filter(in, out);
    QVERIFY(bitwiseEqual(in, out));
}

void TestFilters::recoversFromNonFiniteInput()
{
    MkfilterWrapper f(2, 8, 256.0);
    QVERIFY(f.Butterworth(MkfilterWrapper::LOW_PASS, 4, 30.0, -1.0));
    DataBlock block = noise(2, 8, 7), out;
    block.at(0, 3) = std::numeric_limits<double>::quiet_NaN();
    f.filter(block, out);
    QVERIFY(std::isnan(out.value(0, 5)));
    for (std::size_t c = 0; c < 8; ++c)
        QVERIFY(std::isfinite(out.value(1, c)));
    block = noise(2, 8, 8);
    block.at(1, 0) = std::numeric_limits<double>::infinity();
    f.filter(block, out);
    for (std::size_t c = 0; c < 8; ++c)
        QVERIFY(std::isfinite(out.value(0, c)));
    block = noise(2, 8, 9);
    f.filter(block, out);
    for (std::size_t r = 0; r < 2; ++r)
        for (std::size_t c = 0; c < 8; ++c)
            QVERIFY(std::isfinite(out.value(r, c)));
}

// The filters dialog lets edges go from 0.01 Hz up to just below Nyquist, at orders up to 8: poles then sit
// very close to the unit circle, where a careless design or realisation would blow up.
void TestFilters::extremeDesignsStayStable()
{
    struct Design {
        Kind kind;
        double rate, f1, f2;
    };
    const Design designs[] = {
        {MkfilterWrapper::LOW_PASS, 2048.0, 0.01, -1.0},   {MkfilterWrapper::HIGH_PASS, 2048.0, 0.01, -1.0},
        {MkfilterWrapper::BAND_PASS, 2048.0, 0.01, 0.02},  {MkfilterWrapper::BAND_STOP, 2048.0, 0.01, 0.02},
        {MkfilterWrapper::BAND_PASS, 64.0, 0.01, 31.99},   {MkfilterWrapper::BAND_STOP, 64.0, 0.01, 31.99},
        {MkfilterWrapper::LOW_PASS, 64.0, 31.99, -1.0},    {MkfilterWrapper::HIGH_PASS, 64.0, 31.99, -1.0},
        {MkfilterWrapper::BAND_PASS, 2048.0, 1023.9, 1023.99},
    };
    std::mt19937 rng(10);
    std::normal_distribution<double> noise(0.0, 100.0);
    for (const Design& d : designs) {
        MkfilterWrapper f(1, 16, d.rate);
        QVERIFY(f.Butterworth(d.kind, 8, d.f1, d.f2));
        for (const auto& s : f.sections())
            QVERIFY(std::abs(s[5]) < 1.0 && std::abs(s[4]) < 1.0 + s[5]);
        DataBlock in(1, 16), out;
        double peakIn = 0.0, peakOut = 0.0;
        for (long b = 0; b < long(d.rate) * 10 / 16; ++b) {
            for (std::size_t s = 0; s < 16; ++s) {
                in.at(0, s) = noise(rng);
                peakIn = std::max(peakIn, std::abs(in.value(0, s)));
            }
            f.filter(in, out);
            for (std::size_t s = 0; s < 16; ++s)
                peakOut = std::max(peakOut, std::abs(out.value(0, s)));
        }
        QVERIFY2(std::isfinite(peakOut) && peakOut < 5.0 * peakIn, qPrintable(QString::number(peakOut)));
    }
}

QTEST_GUILESS_MAIN(TestFilters)
#include "test_filters.moc"
