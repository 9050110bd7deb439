// The panoramic line's geometry against shapely: the mitred borders against the offset
// curves, offsets against project, world positions against interpolate, lengths against length.
#include "PlanningTestSupport.h"
#include "common/TestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <locale>
#include <numbers>
#include <random>
#include <sstream>
#include <string>

using namespace PlanningTest;

namespace {

constexpr double tolerance = 1e-9;
constexpr double halfWidth = 12.0;

struct Case
{
    std::vector<Vector3D> corners;
    std::vector<Vector3D> points;
    std::vector<double> offsets;
};

struct Reference
{
    double length = 0.0;
    std::vector<Vector3D> right, left;
    std::vector<std::pair<double, double>> projections; // distance along, distance to the curve
    std::vector<Vector3D> positions;
};

// Arch-like curves: segments of 25 to 60 mm, turns of at most 70 degrees, the heading kept
// within 100 degrees of the start, so that the offset curves keep every mitre corner.
Case randomCase(std::mt19937_64& random)
{
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    Case c;
    const int n = 2 + static_cast<int>(unit(random) * 7);
    const double start = unit(random) * 2 * std::numbers::pi;
    double heading = start;
    Vector3D p(unit(random) * 200 - 100, unit(random) * 200 - 100, 0);
    c.corners.push_back(p);
    for (int i = 1; i < n; ++i)
    {
        if (i > 1)
        {
            double turn = (unit(random) * 2 - 1) * 70 * std::numbers::pi / 180;
            if (std::abs(heading + turn - start) > 100 * std::numbers::pi / 180)
                turn = -turn;
            heading += turn;
        }
        const double length = 25 + unit(random) * 35;
        p = p + Vector3D(std::cos(heading), std::sin(heading), 0) * length;
        c.corners.push_back(p);
    }
    for (int k = 0; k < 6; ++k)
    {
        const int segment = static_cast<int>(unit(random) * (n - 1));
        const Vector3D a = c.corners[segment];
        const Vector3D d = c.corners[segment + 1] - a;
        const Vector3D side = Vector3D(-d.y, d.x, 0) / d.length();
        c.points.push_back(a + d * (0.1 + 0.8 * unit(random)) + side * ((unit(random) * 2 - 1) * 3));
    }
    return c;
}

std::vector<Reference> runOracle(const std::vector<Case>& cases, const TestSupport::ScratchDir& dir)
{
    std::ostringstream input;
    input.imbue(std::locale::classic());
    input.precision(17);
    for (const Case& c : cases)
    {
        for (const Vector3D& p : c.corners)
            input << "corner " << p.x << ' ' << p.y << '\n';
        for (const Vector3D& p : c.points)
            input << "point " << p.x << ' ' << p.y << '\n';
        for (double s : c.offsets)
            input << "offset " << s << '\n';
        input << '\n';
    }
    std::ofstream(dir.file("in.txt")) << input.str();
    const std::string command = "/usr/bin/python3 '" MORVANTA_SOURCE_DIR "/tests/tools/panoramic_line_oracle.py' '" +
                                dir.file("in.txt") + "' '" + dir.file("out.txt") + "' 12";
    if (std::system(command.c_str()) != 0)
        return {};

    std::ifstream file(dir.file("out.txt"));
    std::vector<Reference> result(1);
    std::string row;
    while (std::getline(file, row))
    {
        if (row.empty())
        {
            result.emplace_back();
            continue;
        }
        std::istringstream in(row);
        in.imbue(std::locale::classic());
        std::string kind;
        double a = 0, b = 0;
        in >> kind >> a >> b;
        Reference& r = result.back();
        if (kind == "length")
            r.length = a;
        else if (kind == "right")
            r.right.emplace_back(a, b, 0);
        else if (kind == "left")
            r.left.emplace_back(a, b, 0);
        else if (kind == "project")
            r.projections.emplace_back(a, b);
        else if (kind == "interpolate")
            r.positions.emplace_back(a, b, 0);
    }
    result.pop_back();
    return result;
}

double distance(const Vector3D& a, const Vector3D& b)
{
    return (a - b).length();
}

}

TEST(PanoramicLineOracle, AgreesWithShapelyOnRandomCurves)
{
    std::mt19937_64 random(20240611);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<Case> cases;
    for (int i = 0; i < 250; ++i)
    {
        Case c = randomCase(random);
        auto line = makeLine();
        line->setPoints(c.corners);
        const double length = line->getLength();
        c.offsets = {0.0, length};
        for (int k = 0; k < 6; ++k)
            c.offsets.push_back(unit(random) * length);
        cases.push_back(c);
    }
    TestSupport::ScratchDir dir;
    const std::vector<Reference> references = runOracle(cases, dir);
    ASSERT_EQ(cases.size(), references.size()) << "the shapely oracle did not run";

    int comparedOffsets = 0, offeredOffsets = 0;
    for (std::size_t i = 0; i < cases.size(); ++i)
    {
        SCOPED_TRACE("curve " + std::to_string(i));
        const Case& c = cases[i];
        const Reference& r = references[i];
        auto line = makeLine();
        line->setPoints(c.corners);
        ASSERT_EQ(c.corners.size(), line->numberOfCorners());

        EXPECT_NEAR(r.length, line->getLength(), tolerance);
        ASSERT_EQ(c.corners.size(), r.right.size());
        ASSERT_EQ(c.corners.size(), r.left.size());
        std::size_t k = 0;
        for (auto it = line->cornersBegin(); it != line->cornersEnd(); ++it, ++k)
        {
            EXPECT_LT(distance(r.right[k], line->toWorld((*it)->getUpperPoint())), tolerance) << "corner " << k;
            EXPECT_LT(distance(r.left[k], line->toWorld((*it)->getLowerPoint())), tolerance) << "corner " << k;
        }
        for (std::size_t j = 0; j < c.offsets.size(); ++j)
            EXPECT_LT(distance(r.positions[j], line->getWorldPos(c.offsets[j])), tolerance) << "offset " << j;
        for (std::size_t j = 0; j < c.points.size(); ++j)
        {
            ++offeredOffsets;
            const auto offset = line->getOffset(c.points[j]);
            ASSERT_NE(line->cornersEnd(), offset.first);
            // Where shapely's nearest point is the foot on the same segment, both must agree;
            // where it is a corner (outside every foot) the curve's notion differs by design.
            if (std::abs(line->getOrthogonalDistance(c.points[j]) - r.projections[j].second) > tolerance)
                continue;
            ++comparedOffsets;
            EXPECT_NEAR(r.projections[j].first, offset.second, tolerance) << "point " << j;
        }
    }
    EXPECT_GT(comparedOffsets, offeredOffsets * 9 / 10);
}
