#include "MkfilterWrapper.h"

#include <QtTest>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <limits>
#include <random>
#include <sstream>

namespace {

using Kind = MkfilterWrapper::FilterType;
constexpr Kind LP = MkfilterWrapper::LOW_PASS, HP = MkfilterWrapper::HIGH_PASS, BP = MkfilterWrapper::BAND_PASS,
               BS = MkfilterWrapper::BAND_STOP;
const double NaN = std::numeric_limits<double>::quiet_NaN(), Inf = std::numeric_limits<double>::infinity();

// The numbers on the next line of the reference file, after its tag.
std::vector<double> nextNumbers(std::ifstream& file) {
    std::string text;
    std::getline(file, text);
    std::istringstream line(text.substr(text.find(' ') + 1));
    return {std::istream_iterator<double>(line), std::istream_iterator<double>()};
}

DataBlock noise(std::size_t rows, std::size_t cols, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<double> n(0.0, 10.0);
    DataBlock b(rows, cols);
    for (std::size_t r = 0; r < rows; ++r)
        for (std::size_t c = 0; c < cols; ++c) b.at(r, c) = n(rng) + 100.0 * double(r);
    return b;
}

// Filters `in` (channels x total) in consecutive pieces of the given widths, cycling through them.
DataBlock filterInPieces(MkfilterWrapper& f, const DataBlock& in, const std::vector<std::size_t>& widths) {
    DataBlock out(in.rows(), in.cols()), piece, filtered;
    for (std::size_t start = 0, w = 0, width = 0; start < in.cols(); start += width, ++w) {
        width = std::min(widths[w % widths.size()], in.cols() - start);
        piece.resize(in.rows(), width);
        for (std::size_t r = 0; r < in.rows(); ++r) std::copy_n(in.row(r) + start, width, piece.row(r));
        f.filter(piece, filtered);
        for (std::size_t r = 0; r < in.rows(); ++r) std::copy_n(filtered.row(r), width, out.row(r) + start);
    }
    return out;
}

}  // namespace

class TestFilters : public QObject {
    Q_OBJECT

private slots:
    void matchesScipy() {
        const QByteArray path = qgetenv("KVN_FILTER_REFERENCE");
        if (path.isEmpty()) QSKIP("KVN_FILTER_REFERENCE not set: run through CTest, which computes it first");
        std::ifstream file(path.constData());
        QVERIFY2(file.good(), path.constData());
        int cases = 0, invalid = 0;
        for (std::string text; std::getline(file, text);) {
            std::istringstream line(text);
            std::string tag;
            int kind = 0, order = 0;
            unsigned channels = 0, spb = 0, blocks = 0;
            double rate = 0, f1 = 0, f2 = 0;
            line >> tag >> kind >> order >> rate >> f1 >> f2 >> channels >> spb >> blocks;
            const QByteArray label = QByteArray::fromStdString(text);
            MkfilterWrapper f(channels, spb, rate);
            if (tag == "invalid") {
                QVERIFY2(!f.Butterworth(Kind(kind), order, f1, f2), label.constData());
                ++invalid;
                continue;
            }
            const auto sos = nextNumbers(file), in = nextNumbers(file), out = nextNumbers(file);
            QVERIFY2(f.Butterworth(Kind(kind), order, f1, f2), label.constData());
            QCOMPARE(sos.size(), f.sections().size() * 6);
            for (std::size_t i = 0; i < sos.size(); i += 3) {  // b and a of each section, each to its own scale
                const double scale = std::max({std::abs(sos[i]), std::abs(sos[i + 1]), std::abs(sos[i + 2])});
                for (std::size_t k = i; k < i + 3; ++k)
                    QVERIFY2(std::abs(f.sections()[k / 6][k % 6] - sos[k]) <= 1e-9 * scale,
                             qPrintable(QString("%1: coefficient %2").arg(label.constData()).arg(k)));
            }
            // Block after block, as the viewer runs it; the reference filtered each channel in one go.
            QVERIFY(in.size() == std::size_t(channels) * spb * blocks && out.size() == in.size());
            const DataBlock got = filterInPieces(f, DataBlock(in.data(), channels, spb * blocks), {spb});
            double peak = 1.0;
            for (double v : out) peak = std::max(peak, std::abs(v));
            for (std::size_t i = 0; i < out.size(); ++i)
                QVERIFY2(std::abs(got.data()[i] - out[i]) <= 1e-9 * peak,
                         qPrintable(QString("%1: output %2").arg(label.constData()).arg(i)));
            ++cases;
        }
        QVERIFY(cases >= 100 && invalid >= 5);
    }

    // A refused design passes data through unchanged, and drops the design that was there before.
    void invalidDesignsPassThrough() {
        // Edges SciPy also refuses are in the reference file; these are the ones it cannot be asked about.
        const struct { double rate; int kind, order; double f1, f2; } designs[] = {
            {256, LP, 0, 30, -1},  {256, BP, 9, 1, 30},  {256, HP, -2, 1, -1}, {256, LP, 4, NaN, -1},
            {256, LP, 4, Inf, -1}, {256, BP, 4, 1, -1},  {256, BP, 4, 1, NaN}, {0, LP, 4, 30, -1},
            {-256, LP, 4, 30, -1}, {NaN, LP, 4, 30, -1}, {256, 7, 4, 30, -1}};
        const DataBlock in = noise(3, 8, 1);
        for (const auto& d : designs) {
            MkfilterWrapper f(3, 8, d.rate);
            if (d.rate == 256) QVERIFY(f.Butterworth(LP, 4, 30.0, -1.0));
            QVERIFY(!f.Butterworth(Kind(d.kind), d.order, d.f1, d.f2) && !f.isDesigned());
            DataBlock out;
            f.filter(in, out);
            QVERIFY(in == out);
        }
    }

    // Odd widths, empty blocks among them, give the arithmetic of whole blocks (which the SciPy comparison runs
    // block by block, channel by channel); reset and a new design start from a clear state.
    void stateCarriesAcrossBlocksOfAnySize() {
        const DataBlock in = noise(4, 1000, 2);
        DataBlock expected;
        MkfilterWrapper once(4, 1000, 1024.0), pieces(4, 16, 1024.0);
        QVERIFY(once.Butterworth(BP, 8, 1.0, 30.0) && pieces.Butterworth(BP, 8, 1.0, 30.0));
        once.filter(in, expected);
        QVERIFY(filterInPieces(pieces, in, {16}) == expected);
        pieces.reset();
        QVERIFY(filterInPieces(pieces, in, {1, 0, 7, 16, 33, 0, 2}) == expected);
        QVERIFY(pieces.Butterworth(BP, 8, 1.0, 30.0));
        QVERIFY(filterInPieces(pieces, in, {16}) == expected);
    }

    void inPlaceAndOddShapes() {
        MkfilterWrapper f(2, 8, 256.0), g(2, 8, 256.0), none(0, 8, 256.0);
        QVERIFY(f.Butterworth(BS, 4, 48.0, 52.0) && g.Butterworth(BS, 4, 48.0, 52.0));
        const DataBlock in = noise(2, 8, 4);
        DataBlock out, inPlace = in;
        f.filter(in, out);
        g.filter(inPlace, inPlace);
        QVERIFY(out == inPlace);
        // More rows than channels: the extra rows pass unchanged. Fewer rows: no trouble. Empty: nothing.
        const DataBlock wide = noise(3, 8, 5);
        f.filter(wide, out);
        QVERIFY(out.rows() == 3 && std::equal(out.row(2), out.row(2) + 8, wide.row(2)));
        f.filter(noise(1, 8, 6), out);
        QCOMPARE(out.rows(), std::size_t(1));
        f.filter(DataBlock(), out);
        QVERIFY(out.empty());
        QVERIFY(none.Butterworth(LP, 2, 30.0, -1.0));
        none.filter(in, out);
        QVERIFY(in == out);
    }

    void recoversFromNonFiniteInput() {
        MkfilterWrapper f(2, 8, 256.0);
        QVERIFY(f.Butterworth(LP, 4, 30.0, -1.0));
        DataBlock block = noise(2, 8, 7), out;
        const auto finite = [&out](std::size_t from, std::size_t to) {
            return std::all_of(out.row(from), out.row(to), [](double v) { return std::isfinite(v); });
        };
        // A missing value stays a gap, and the samples after it are filtered as if it had not come.
        block.at(0, 3) = NaN;
        MkfilterWrapper twin(1, 8, 256.0);
        QVERIFY(twin.Butterworth(LP, 4, 30.0, -1.0));
        f.filter(block, out);
        QVERIFY(std::isnan(out.value(0, 3)) && finite(1, 2));
        for (std::size_t i = 0; i < 8; ++i) {
            if (i == 3) continue;
            DataBlock one(1, 1), y;
            one.at(0, 0) = block.value(0, i);
            twin.filter(one, y);
            QCOMPARE(out.value(0, i), y.value(0, 0));
        }
        block = noise(2, 8, 8);
        block.at(1, 0) = Inf;
        f.filter(block, out);
        QVERIFY(finite(0, 1));
        f.filter(noise(2, 8, 9), out);  // both channels start afresh
        QVERIFY(finite(0, 2));
    }

    // Edges from 0.01 Hz up to just below Nyquist at order 8, as the filters dialog allows: poles then sit very
    // close to the unit circle, where a careless design or realisation would blow up.
    void extremeDesignsStayStable() {
        const struct { Kind kind; double rate, f1, f2; } designs[] = {
            {LP, 2048, 0.01, -1},   {HP, 2048, 0.01, -1},  {BP, 2048, 0.01, 0.02}, {BS, 2048, 0.01, 0.02},
            {BP, 64, 0.01, 31.99},  {BS, 64, 0.01, 31.99}, {LP, 64, 31.99, -1},    {HP, 64, 31.99, -1},
            {BP, 2048, 1023.9, 1023.99}};
        std::mt19937 rng(10);
        std::normal_distribution<double> noise(0.0, 100.0);
        for (const auto& d : designs) {
            MkfilterWrapper f(1, 16, d.rate);
            QVERIFY(f.Butterworth(d.kind, 8, d.f1, d.f2));
            for (const auto& s : f.sections())  // both roots of 1 + a1 z^-1 + a2 z^-2 inside the unit circle
                QVERIFY(std::abs(s[5]) < 1.0 && std::abs(s[4]) < 1.0 + s[5]);
            DataBlock in(1, 16), out;
            double peakIn = 0.0, peakOut = 0.0;
            for (long b = 0; b < long(d.rate) * 10 / 16; ++b) {
                for (std::size_t s = 0; s < 16; ++s) peakIn = std::max(peakIn, std::abs(in.at(0, s) = noise(rng)));
                f.filter(in, out);
                for (std::size_t s = 0; s < 16; ++s) peakOut = std::max(peakOut, std::abs(out.value(0, s)));
            }
            QVERIFY2(std::isfinite(peakOut) && peakOut < 5.0 * peakIn, qPrintable(QString::number(peakOut)));
        }
    }
};

QTEST_GUILESS_MAIN(TestFilters)
#include "test_filters.moc"
