#include "vexa/algorithm/PointMatching.h"

#include "vexa/core/ExceptionStack.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numeric>

namespace Vexa {

namespace {

// Eigenvalues and eigenvectors (columns of vectors) of a symmetric matrix by cyclic Jacobi
// rotations; plenty for 3x3 and 4x4.
template<int N>
void symmetricEigen(std::array<std::array<double, N>, N> a, std::array<double, N>& values,
                    std::array<std::array<double, N>, N>& vectors)
{
    for (int i = 0; i < N; ++i)
        for (int j = 0; j < N; ++j)
            vectors[i][j] = i == j ? 1.0 : 0.0;
    for (int sweep = 0; sweep < 60; ++sweep)
    {
        double off = 0.0, total = 0.0;
        for (int i = 0; i < N; ++i)
            for (int j = 0; j < N; ++j)
            {
                total += a[i][j] * a[i][j];
                if (i != j)
                    off += a[i][j] * a[i][j];
            }
        if (off <= 1e-30 * total || off == 0.0)
            break;
        for (int p = 0; p < N; ++p)
            for (int q = p + 1; q < N; ++q)
            {
                if (a[p][q] == 0.0)
                    continue;
                const double theta = (a[q][q] - a[p][p]) / (2.0 * a[p][q]);
                const double t = (theta >= 0 ? 1.0 : -1.0) / (std::abs(theta) + std::sqrt(theta * theta + 1.0));
                const double c = 1.0 / std::sqrt(t * t + 1.0), s = t * c;
                for (int k = 0; k < N; ++k)
                {
                    const double akp = a[k][p], akq = a[k][q];
                    a[k][p] = c * akp - s * akq;
                    a[k][q] = s * akp + c * akq;
                }
                for (int k = 0; k < N; ++k)
                {
                    const double apk = a[p][k], aqk = a[q][k];
                    a[p][k] = c * apk - s * aqk;
                    a[q][k] = s * apk + c * aqk;
                }
                for (int k = 0; k < N; ++k)
                {
                    const double vkp = vectors[k][p], vkq = vectors[k][q];
                    vectors[k][p] = c * vkp - s * vkq;
                    vectors[k][q] = s * vkp + c * vkq;
                }
            }
    }
    for (int i = 0; i < N; ++i)
        values[i] = a[i][i];
}

Vector3D centroid(const std::vector<Vector3D>& points)
{
    Vector3D sum;
    for (const auto& p : points)
        sum += p;
    return sum / double(points.size());
}

// The points spread in at least two directions.
bool spansPlane(const std::vector<Vector3D>& points)
{
    const Vector3D c = centroid(points);
    std::array<std::array<double, 3>, 3> scatter{};
    for (const auto& p : points)
    {
        const Vector3D d = p - c;
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                scatter[i][j] += d[i] * d[j];
    }
    std::array<double, 3> values;
    std::array<std::array<double, 3>, 3> vectors;
    symmetricEigen<3>(scatter, values, vectors);
    std::sort(values.begin(), values.end());
    // Second largest spread at least a micrometre-scale fraction of the largest.
    return values[2] > 0.0 && values[1] > 1e-10 * values[2] && values[1] > 1e-12;
}

std::vector<Vector3D> without(const std::vector<Vector3D>& points, std::size_t index)
{
    std::vector<Vector3D> rest;
    rest.reserve(points.size() - 1);
    for (std::size_t i = 0; i < points.size(); ++i)
        if (i != index)
            rest.push_back(points[i]);
    return rest;
}

}

PointMatching::Fit PointMatching::fitRigid(const std::vector<Vector3D>& from, const std::vector<Vector3D>& to) try
{
    Fit fit;
    if (from.size() < 3 || from.size() != to.size() || !spansPlane(from))
        return fit;
    const Vector3D cf = centroid(from), ct = centroid(to);
    double s[3][3] = {};
    for (std::size_t i = 0; i < from.size(); ++i)
    {
        const Vector3D a = from[i] - cf, b = to[i] - ct;
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c)
                s[r][c] += a[r] * b[c];
    }
    // Horn's symmetric matrix; its largest eigenvector is the best unit quaternion, and a
    // unit quaternion can only describe a proper rotation.
    const double sxx = s[0][0], sxy = s[0][1], sxz = s[0][2];
    const double syx = s[1][0], syy = s[1][1], syz = s[1][2];
    const double szx = s[2][0], szy = s[2][1], szz = s[2][2];
    std::array<std::array<double, 4>, 4> n = {{
        {sxx + syy + szz, syz - szy, szx - sxz, sxy - syx},
        {syz - szy, sxx - syy - szz, sxy + syx, szx + sxz},
        {szx - sxz, sxy + syx, -sxx + syy - szz, syz + szy},
        {sxy - syx, szx + sxz, syz + szy, -sxx - syy + szz},
    }};
    std::array<double, 4> values;
    std::array<std::array<double, 4>, 4> vectors;
    symmetricEigen<4>(n, values, vectors);
    const int best = int(std::max_element(values.begin(), values.end()) - values.begin());
    double w = vectors[0][best], x = vectors[1][best], y = vectors[2][best], z = vectors[3][best];
    const double norm = std::sqrt(w * w + x * x + y * y + z * z);
    w /= norm;
    x /= norm;
    y /= norm;
    z /= norm;

    const Vector3D xAxis(w * w + x * x - y * y - z * z, 2 * (x * y + w * z), 2 * (x * z - w * y));
    const Vector3D yAxis(2 * (x * y - w * z), w * w - x * x + y * y - z * z, 2 * (y * z + w * x));
    const Vector3D zAxis(2 * (x * z + w * y), 2 * (y * z - w * x), w * w - x * x - y * y + z * z);
    fit.transform = Matrix44<double>(xAxis, yAxis, zAxis, Vector3D());
    fit.transform.setTranslation(ct - fit.transform.rotate(cf));

    double sum = 0.0;
    for (std::size_t i = 0; i < from.size(); ++i)
    {
        const double d = (fit.transform * from[i] - to[i]).length();
        sum += d * d;
        fit.maximumResidual = std::max(fit.maximumResidual, d);
    }
    fit.rms = std::sqrt(sum / double(from.size()));
    fit.valid = true;
    return fit;
}
VEXA_RETHROW

bool PointMatching::isConsistent(const std::vector<Vector3D>& geometry, const std::vector<Vector3D>& points,
                                 double tolerance) try
{
    const Fit all = fitRigid(geometry, points);
    if (!all.valid || !(all.maximumResidual <= tolerance))
        return false;
    if (geometry.size() < 4)
        return true;
    for (std::size_t i = 0; i < geometry.size(); ++i)
    {
        const Fit others = fitRigid(without(geometry, i), without(points, i));
        const Matrix44<double>& m = others.valid ? others.transform : all.transform;
        if (!((m * geometry[i] - points[i]).length() <= tolerance))
            return false;
    }
    return true;
}
VEXA_RETHROW

PointMatching::Match PointMatching::matchPoints(const std::vector<Vector3D>& points,
                                                const std::vector<Vector3D>& geometry, double tolerance,
                                                bool anyOrder) try
{
    Match match;
    const std::size_t m = points.size(), n = geometry.size();
    // Trying every order is meant for marker sets; beyond eight points it would take long.
    if (m < 3 || m > n || (anyOrder && n > 8))
        return match;

    std::vector<int> choice(m);
    std::vector<int> bestChoice;
    double bestRms = std::numeric_limits<double>::infinity();
    Fit bestFit;
    std::vector<Vector3D> assigned(m);
    auto consider = [&] {
        for (std::size_t i = 0; i < m; ++i)
            assigned[i] = geometry[choice[i]];
        const Fit fit = fitRigid(assigned, points);
        if (fit.valid && fit.rms < bestRms)
        {
            bestRms = fit.rms;
            bestChoice = choice;
            bestFit = fit;
        }
    };
    if (anyOrder)
    {
        // Every assignment of the points to distinct geometry points (6 of 6: 720).
        std::vector<char> used(n, 0);
        auto assign = [&](auto& self, std::size_t i) -> void {
            if (i == m)
            {
                consider();
                return;
            }
            for (std::size_t g = 0; g < n; ++g)
                if (!used[g])
                {
                    used[g] = 1;
                    choice[i] = int(g);
                    self(self, i + 1);
                    used[g] = 0;
                }
        };
        assign(assign, 0);
    }
    else
    {
        std::iota(choice.begin(), choice.end(), 0);
        consider();
    }
    if (bestChoice.empty())
        return match;
    for (std::size_t i = 0; i < m; ++i)
        assigned[i] = geometry[bestChoice[i]];
    if (!isConsistent(assigned, points, tolerance))
        return match;

    match.success = true;
    match.pointOf.assign(n, -1);
    for (std::size_t i = 0; i < m; ++i)
        match.pointOf[bestChoice[i]] = int(i);
    match.transform = bestFit.transform;
    match.rms = bestFit.rms;
    return match;
}
VEXA_RETHROW

PointMatching::Match PointMatching::findGeometry(const std::vector<Vector3D>& candidates,
                                                 const std::vector<Vector3D>& geometry, double tolerance) try
{
    Match best;
    const std::size_t n = geometry.size(), m = candidates.size();
    if (n < 3 || m < n || !spansPlane(geometry))
        return best;

    // Hypotheses come from the geometry's largest triangle: any candidate triple with the
    // same side lengths is tried as its image.
    std::array<std::size_t, 3> base{};
    double largest = -1.0;
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = i + 1; j < n; ++j)
            for (std::size_t k = j + 1; k < n; ++k)
            {
                const double area = (geometry[j] - geometry[i]).cross(geometry[k] - geometry[i]).length();
                if (area > largest)
                {
                    largest = area;
                    base = {i, j, k};
                }
            }
    const double dij = (geometry[base[1]] - geometry[base[0]]).length();
    const double djk = (geometry[base[2]] - geometry[base[1]]).length();
    const double dik = (geometry[base[2]] - geometry[base[0]]).length();
    const double slack = 2.0 * tolerance;
    auto distance = [&](std::size_t a, std::size_t b) { return (candidates[a] - candidates[b]).length(); };

    double bestRms = std::numeric_limits<double>::infinity();
    std::vector<Vector3D> from(n), to(n);
    const std::vector<Vector3D> baseGeometry = {geometry[base[0]], geometry[base[1]], geometry[base[2]]};
    for (std::size_t a = 0; a < m; ++a)
        for (std::size_t b = 0; b < m; ++b)
        {
            if (b == a || std::abs(distance(a, b) - dij) > slack)
                continue;
            for (std::size_t c = 0; c < m; ++c)
            {
                if (c == a || c == b || std::abs(distance(b, c) - djk) > slack ||
                    std::abs(distance(a, c) - dik) > slack)
                    continue;
                const Fit guess = fitRigid(baseGeometry, {candidates[a], candidates[b], candidates[c]});
                if (!guess.valid)
                    continue;
                // Every geometry point takes the nearest candidate within tolerance; two
                // geometry points may not share one.
                std::vector<int> pointOf(n, -1);
                bool complete = true;
                for (std::size_t g = 0; g < n && complete; ++g)
                {
                    const Vector3D expected = guess.transform * geometry[g];
                    double nearest = tolerance;
                    for (std::size_t p = 0; p < m; ++p)
                    {
                        const double d = (candidates[p] - expected).length();
                        if (d <= nearest)
                        {
                            nearest = d;
                            pointOf[g] = int(p);
                        }
                    }
                    if (pointOf[g] < 0 || std::count(pointOf.begin(), pointOf.begin() + g, pointOf[g]) > 0)
                        complete = false;
                }
                if (!complete)
                    continue;
                for (std::size_t g = 0; g < n; ++g)
                {
                    from[g] = geometry[g];
                    to[g] = candidates[pointOf[g]];
                }
                const Fit fit = fitRigid(from, to);
                if (!fit.valid || !(fit.rms < bestRms) || !isConsistent(from, to, tolerance))
                    continue;
                bestRms = fit.rms;
                best.success = true;
                best.pointOf = pointOf;
                best.transform = fit.transform;
                best.rms = fit.rms;
            }
        }
    return best;
}
VEXA_RETHROW

}
