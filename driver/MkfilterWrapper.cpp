// Written here on purpose: the designs must match SciPy's butter() coefficient for coefficient (the tests
// hold them to it), which no C++ filter library we could package promises.
#include "MkfilterWrapper.h"

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstring>
#include <numeric>

namespace {

using Complex = std::complex<double>;
using Roots = std::vector<Complex>;

constexpr double PI = 3.14159265358979323846;

// The design follows the usual zeros/poles/gain route step by step, in the same order of operations as the
// common numerical references, so that the sections (not only the overall response) come out the same.
struct Zpk {
    Roots z;
    Roots p;
    double k = 1.0;
};

// Complex division by Smith's method, as the common numerical references do it, so designs agree to the bit
// more often than with the compiler's own scaling division.
Complex divide(Complex a, Complex b)
{
    const double br = b.real(), bi = b.imag();
    if (std::abs(br) >= std::abs(bi)) {
        if (br == 0.0 && bi == 0.0)
            return Complex(a.real() / std::abs(br), a.imag() / std::abs(br));
        const double rat = bi / br, scl = 1.0 / (br + bi * rat);
        return Complex((a.real() + a.imag() * rat) * scl, (a.imag() - a.real() * rat) * scl);
    }
    const double rat = br / bi, scl = 1.0 / (bi + br * rat);
    return Complex((a.real() * rat + a.imag()) * scl, (a.imag() * rat - a.real()) * scl);
}

Complex product(const Roots& r, Complex offset, double sign)
{
    // prod(offset + sign * r)
    Complex acc(1.0, 0.0);
    for (const Complex& v : r)
        acc *= (sign > 0 ? offset + v : offset - v);
    return acc;
}

Zpk prototype(int order)
{
    Zpk zpk;
    for (int i = 0; i < order; ++i) {
        const double m = -order + 1 + 2 * i;
        const double theta = PI * m / (2.0 * order);
        // -exp(j theta); the middle pole of an odd order comes out exactly real.
        zpk.p.push_back(-Complex(std::cos(theta), std::sin(theta)));
    }
    return zpk;
}

int relativeDegree(const Zpk& zpk) { return int(zpk.p.size()) - int(zpk.z.size()); }

void toLowPass(Zpk& zpk, double wo)
{
    const int degree = relativeDegree(zpk);
    for (Complex& v : zpk.z)
        v = wo * v;
    for (Complex& v : zpk.p)
        v = wo * v;
    zpk.k *= std::pow(wo, degree);
}

void toHighPass(Zpk& zpk, double wo)
{
    const int degree = relativeDegree(zpk);
    const double k = zpk.k * std::real(divide(product(zpk.z, 0.0, -1.0), product(zpk.p, 0.0, -1.0)));
    for (Complex& v : zpk.z)
        v = divide(wo, v);
    for (Complex& v : zpk.p)
        v = divide(wo, v);
    zpk.z.insert(zpk.z.end(), std::size_t(degree), Complex(0.0, 0.0));
    zpk.k = k;
}

// Each root r of the scaled prototype becomes r + sqrt(r^2 - wo^2) and r - sqrt(r^2 - wo^2), all "+" first.
Roots splitRoots(const Roots& scaled, double wo)
{
    Roots out;
    out.reserve(scaled.size() * 2);
    for (const Complex& r : scaled)
        out.push_back(r + std::sqrt(r * r - wo * wo));
    for (const Complex& r : scaled)
        out.push_back(r - std::sqrt(r * r - wo * wo));
    return out;
}

void toBandPass(Zpk& zpk, double wo, double bw)
{
    const int degree = relativeDegree(zpk);
    Roots z = zpk.z, p = zpk.p;
    for (Complex& v : z)
        v = v * bw / 2.0;
    for (Complex& v : p)
        v = v * bw / 2.0;
    zpk.z = splitRoots(z, wo);
    zpk.p = splitRoots(p, wo);
    zpk.z.insert(zpk.z.end(), std::size_t(degree), Complex(0.0, 0.0));
    zpk.k *= std::pow(bw, degree);
}

void toBandStop(Zpk& zpk, double wo, double bw)
{
    const int degree = relativeDegree(zpk);
    const double k = zpk.k * std::real(divide(product(zpk.z, 0.0, -1.0), product(zpk.p, 0.0, -1.0)));
    Roots z = zpk.z, p = zpk.p;
    for (Complex& v : z)
        v = divide(bw / 2.0, v);
    for (Complex& v : p)
        v = divide(bw / 2.0, v);
    zpk.z = splitRoots(z, wo);
    zpk.p = splitRoots(p, wo);
    zpk.z.insert(zpk.z.end(), std::size_t(degree), Complex(0.0, wo));
    zpk.z.insert(zpk.z.end(), std::size_t(degree), Complex(0.0, -wo));
    zpk.k = k;
}

void bilinear(Zpk& zpk)
{
    const int degree = relativeDegree(zpk);
    const double fs2 = 4.0;  // the design is normalised to a sampling rate of 2
    const double k = zpk.k * std::real(divide(product(zpk.z, fs2, -1.0), product(zpk.p, fs2, -1.0)));
    for (Complex& v : zpk.z)
        v = divide(fs2 + v, fs2 - v);
    for (Complex& v : zpk.p)
        v = divide(fs2 + v, fs2 - v);
    zpk.z.insert(zpk.z.end(), std::size_t(degree), Complex(-1.0, 0.0));
    zpk.k = k;
}

bool isReal(const Complex& v) { return v.imag() == 0.0; }

// Keeps one root of each conjugate pair (the one with positive imaginary part), sorted, followed by the real
// roots; the pair members are averaged to remove rounding asymmetry. False when a root has no conjugate.
bool conjugatePairsThenReals(Roots roots, Roots& out)
{
    const double tol = 100.0 * 2.220446049250313e-16;
    std::stable_sort(roots.begin(), roots.end(), [](const Complex& a, const Complex& b) {
        if (a.real() != b.real())
            return a.real() < b.real();
        return std::abs(a.imag()) < std::abs(b.imag());
    });
    Roots reals, pos, neg;
    for (const Complex& r : roots) {
        if (std::abs(r.imag()) <= tol * std::abs(r))
            reals.push_back(Complex(r.real(), 0.0));
        else if (r.imag() > 0)
            pos.push_back(r);
        else
            neg.push_back(r);
    }
    if (pos.size() != neg.size())
        return false;
    // Within runs of (nearly) equal real part, order by the size of the imaginary part.
    std::size_t start = 0;
    while (start < pos.size()) {
        std::size_t stop = start;
        while (stop + 1 < pos.size() && pos[stop + 1].real() - pos[stop].real() <= tol * std::abs(pos[stop]))
            ++stop;
        if (stop > start) {
            auto byImag = [](const Complex& a, const Complex& b) { return std::abs(a.imag()) < std::abs(b.imag()); };
            std::stable_sort(pos.begin() + long(start), pos.begin() + long(stop) + 1, byImag);
            std::stable_sort(neg.begin() + long(start), neg.begin() + long(stop) + 1, byImag);
        }
        start = stop + 1;
    }
    out.clear();
    for (std::size_t i = 0; i < pos.size(); ++i) {
        if (std::abs(pos[i] - std::conj(neg[i])) > tol * std::abs(neg[i]))
            return false;
        out.push_back((pos[i] + std::conj(neg[i])) / 2.0);
    }
    out.insert(out.end(), reals.begin(), reals.end());
    return true;
}

enum class Which { Real, Complex, Any };

// Index of the root in `from` nearest to `to` among the kind asked for; -1 when there is none.
long nearest(const Roots& from, Complex to, Which which)
{
    std::vector<std::size_t> order(from.size());
    std::iota(order.begin(), order.end(), std::size_t(0));
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return std::abs(from[a] - to) < std::abs(from[b] - to); });
    for (std::size_t i : order) {
        if (which == Which::Any || (which == Which::Real) == isReal(from[i]))
            return long(i);
    }
    return -1;
}

// The pole closest to the unit circle, first one on ties.
std::size_t worst(const Roots& p, const std::vector<std::size_t>& among)
{
    std::size_t best = among.front();
    double bestDistance = std::abs(1.0 - std::abs(p[best]));
    for (std::size_t i : among) {
        const double d = std::abs(1.0 - std::abs(p[i]));
        if (d < bestDistance) {
            bestDistance = d;
            best = i;
        }
    }
    return best;
}

// Monic polynomial with the given (at most two) roots, right-aligned into three coefficients.
void monic(const Roots& roots, double* coefficients)
{
    Complex c[3] = {1.0, 0.0, 0.0};
    std::size_t n = 1;
    for (const Complex& r : roots) {
        Complex next[3] = {0.0, 0.0, 0.0};
        for (std::size_t i = 0; i < n; ++i) {
            next[i] += c[i];
            next[i + 1] += c[i] * -r;
        }
        ++n;
        std::copy(next, next + 3, c);
    }
    for (std::size_t i = 0; i < 3; ++i)
        coefficients[i] = 0.0;
    for (std::size_t i = 0; i < n; ++i)
        coefficients[3 - n + i] = c[i].real();
}

MkfilterWrapper::Section section(const Roots& zeros, const Roots& poles)
{
    MkfilterWrapper::Section s{};
    monic(zeros, s.data());
    monic(poles, s.data() + 3);
    return s;
}

template <typename T>
T take(std::vector<T>& v, std::size_t index)
{
    T value = v[index];
    v.erase(v.begin() + long(index));
    return value;
}

std::size_t countReal(const Roots& r) { return std::size_t(std::count_if(r.begin(), r.end(), isReal)); }

// Pairs poles with their nearest zeros into sections, the poles closest to the unit circle last.
bool toSections(Zpk zpk, std::vector<MkfilterWrapper::Section>& sos)
{
    Roots& z = zpk.z;
    Roots& p = zpk.p;
    if (z.empty() && p.empty()) {
        sos.assign(1, MkfilterWrapper::Section{zpk.k, 0.0, 0.0, 1.0, 0.0, 0.0});
        return true;
    }
    while (p.size() < z.size())
        p.push_back(0.0);
    while (z.size() < p.size())
        z.push_back(0.0);
    const std::size_t count = (p.size() + 1) / 2;
    if (p.size() % 2 == 1) {
        p.push_back(0.0);
        z.push_back(0.0);
    }
    Roots zc, pc;
    if (!conjugatePairsThenReals(z, zc) || !conjugatePairsThenReals(p, pc))
        return false;
    z = zc;
    p = pc;

    sos.assign(count, MkfilterWrapper::Section{});
    std::vector<std::size_t> all;
    for (std::size_t si = count; si-- > 0;) {
        if (p.empty())
            return false;
        all.resize(p.size());
        std::iota(all.begin(), all.end(), std::size_t(0));
        const Complex p1 = take(p, worst(p, all));

        if (isReal(p1) && countReal(p) == 0) {
            // the last real pole goes with the nearest real zero, plus a pole and a zero at the origin
            const long zi = nearest(z, p1, Which::Real);
            if (zi < 0)
                return false;
            const Complex z1 = take(z, std::size_t(zi));
            sos[si] = section({z1, 0.0}, {p1, 0.0});
        } else if (p.size() + 1 == z.size() && !isReal(p1) && countReal(p) == 1 && countReal(z) == 1) {
            // one real pole and one real zero remain for later: this pole must take a complex zero
            const long zi = nearest(z, p1, Which::Complex);
            if (zi < 0)
                return false;
            const Complex z1 = take(z, std::size_t(zi));
            sos[si] = section({z1, std::conj(z1)}, {p1, std::conj(p1)});
        } else {
            Complex p2;
            if (isReal(p1)) {
                std::vector<std::size_t> reals;
                for (std::size_t i = 0; i < p.size(); ++i)
                    if (isReal(p[i]))
                        reals.push_back(i);
                p2 = take(p, worst(p, reals));
            } else {
                p2 = std::conj(p1);
            }
            if (z.empty()) {
                sos[si] = section({}, {p1, p2});
                continue;
            }
            const Complex z1 = take(z, std::size_t(nearest(z, p1, Which::Any)));
            if (!isReal(z1)) {
                sos[si] = section({z1, std::conj(z1)}, {p1, p2});
            } else if (!z.empty()) {
                const long zi = nearest(z, p1, Which::Real);
                if (zi < 0)
                    return false;
                const Complex z2 = take(z, std::size_t(zi));
                sos[si] = section({z1, z2}, {p1, p2});
            } else {
                sos[si] = section({z1}, {p1, p2});
            }
        }
    }
    if (!p.empty() || !z.empty())
        return false;
    for (std::size_t i = 0; i < 3; ++i)
        sos[0][i] *= zpk.k;
    return true;
}

bool inBand(double f, double nyquist) { return f > 0.0 && f < nyquist; }  // false for NaN too

}  // namespace

MkfilterWrapper::MkfilterWrapper(unsigned channels, unsigned samplesPerBlock, double samplingRate)
    : channels_(channels), samplesPerBlock_(samplesPerBlock), samplingRate_(samplingRate)
{
}

bool MkfilterWrapper::Butterworth(FilterType type, int order, double f1, double f2)
{
    sections_.clear();
    state_.clear();
    const double nyquist = samplingRate_ / 2.0;
    if (order < MIN_ORDER || order > MAX_ORDER || !(samplingRate_ > 0.0) || !std::isfinite(samplingRate_))
        return false;
    if (!inBand(f1, nyquist))
        return false;
    const bool band = type == BAND_PASS || type == BAND_STOP;
    if (band && (!inBand(f2, nyquist) || !(f1 < f2)))
        return false;
    if (!band && type != LOW_PASS && type != HIGH_PASS)
        return false;

    // Pre-warp the edges for a design normalised to a sampling rate of 2.
    auto warp = [&](double f) { return 2.0 * 2.0 * std::tan(PI * (f / nyquist) / 2.0); };
    Zpk zpk = prototype(order);
    switch (type) {
    case LOW_PASS:
        toLowPass(zpk, warp(f1));
        break;
    case HIGH_PASS:
        toHighPass(zpk, warp(f1));
        break;
    case BAND_PASS:
    case BAND_STOP: {
        const double lo = warp(f1), hi = warp(f2);
        const double bw = hi - lo, wo = std::sqrt(lo * hi);
        if (type == BAND_PASS)
            toBandPass(zpk, wo, bw);
        else
            toBandStop(zpk, wo, bw);
        break;
    }
    }
    bilinear(zpk);

    // Rounding can push a pole of an extreme design onto the unit circle: refuse it rather than run away.
    for (const Complex& pole : zpk.p)
        if (!(std::abs(pole) < 1.0))
            return false;

    std::vector<Section> sos;
    if (!toSections(zpk, sos))
        return false;
    for (const Section& s : sos)
        for (double c : s)
            if (!std::isfinite(c))
                return false;
    sections_ = std::move(sos);
    state_.assign(std::size_t(channels_) * sections_.size() * 2, 0.0);
    return true;
}

void MkfilterWrapper::reset() { std::fill(state_.begin(), state_.end(), 0.0); }

void MkfilterWrapper::filter(const DataBlock& in, DataBlock& out)
{
    if (&in != &out) {
        if (out.rows() != in.rows() || out.cols() != in.cols())
            out.resize(in.rows(), in.cols());
        if (in.rows() * in.cols() > 0)
            std::memcpy(out.data(), in.data(), in.rows() * in.cols() * sizeof(double));
    }
    if (sections_.empty())
        return;
    const std::size_t n = out.cols();
    const std::size_t rows = std::min<std::size_t>(out.rows(), channels_);
    const std::size_t count = sections_.size();
    for (std::size_t c = 0; c < rows; ++c) {
        double* x = out.row(c);
        double* state = state_.data() + c * count * 2;
        // A missing value (NaN) is a gap: it stays a gap on screen and the filter runs on past it, rather than
        // blanking the rest of the row.
        if (std::any_of(x, x + n, [](double v) { return std::isnan(v); })) {
            for (std::size_t i = 0; i < n; ++i) {
                if (std::isnan(x[i]))
                    continue;
                double v = x[i];
                for (std::size_t si = 0; si < count; ++si) {
                    const Section& s = sections_[si];
                    double& z0 = state[2 * si];
                    double& z1 = state[2 * si + 1];
                    const double y = s[0] * v + z0;
                    z0 = s[1] * v - s[4] * y + z1;
                    z1 = s[2] * v - s[5] * y;
                    v = y;
                }
                x[i] = v;
            }
            continue;
        }
        // Section after section over the whole row: the same arithmetic as sample after sample, and faster.
        for (std::size_t si = 0; si < count; ++si) {
            const Section& s = sections_[si];
            const double b0 = s[0], b1 = s[1], b2 = s[2], a1 = s[4], a2 = s[5];
            double z0 = state[2 * si], z1 = state[2 * si + 1];
            for (std::size_t i = 0; i < n; ++i) {
                const double xi = x[i];
                const double y = b0 * xi + z0;
                z0 = b1 * xi - a1 * y + z1;
                z1 = b2 * xi - a2 * y;
                x[i] = y;
            }
            state[2 * si] = z0;
            state[2 * si + 1] = z1;
        }
        // A NaN or infinity in the input would otherwise stay in the state and blank the channel for good.
        for (std::size_t k = 0; k < count * 2; ++k) {
            if (!std::isfinite(state[k])) {
                std::fill(state, state + count * 2, 0.0);
                break;
            }
        }
    }
}
