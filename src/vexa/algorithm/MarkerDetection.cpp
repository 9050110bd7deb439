#include "vexa/algorithm/MarkerDetection.h"

#include "vexa/algorithm/PointMatching.h"
#include "vexa/core/ExceptionStack.h"
#include "vexa/core/ProcessorAffinity.h"
#include "vexa/core/ThreadTeam.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <stdexcept>

namespace Vexa {

namespace {

// A row segment of voxels at or above the threshold, a node of the union-find.
struct Run
{
    int x0, x1; // inclusive
    int y, z;
    unsigned parent;
};

unsigned findRoot(std::vector<Run>& runs, unsigned i)
{
    while (runs[i].parent != i)
    {
        runs[i].parent = runs[runs[i].parent].parent;
        i = runs[i].parent;
    }
    return i;
}

void unite(std::vector<Run>& runs, unsigned a, unsigned b)
{
    a = findRoot(runs, a);
    b = findRoot(runs, b);
    if (a != b)
        runs[std::max(a, b)].parent = std::min(a, b);
}

struct Blob
{
    std::size_t count = 0;
    double weight = 0.0;
    double wx = 0.0, wy = 0.0, wz = 0.0;
    int minimum[3] = {INT32_MAX, INT32_MAX, INT32_MAX};
    int maximum[3] = {INT32_MIN, INT32_MIN, INT32_MIN};
};

}

MarkerDetection::MarkerDetection(std::shared_ptr<const VolumeData<unsigned short>> volume,
                                 std::vector<Vector3D> markerGeometry, double tolerance, double ballDiameter)
    : AbstractAlgorithm("Detecting markers", "An unknown error has occurred during the marker detection."),
      volume_(std::move(volume)), geometry_(std::move(markerGeometry)), tolerance_(tolerance),
      ballDiameter_(ballDiameter)
{
}

bool MarkerDetection::start() try
{
    markers_.clear();
    transform_ = Matrix44<double>();
    return run([this] { return detect(); });
}
VEXA_RETHROW

bool MarkerDetection::detect() try
{
    if (!volume_ || volume_->getVoxelCount() == 0)
        throw std::runtime_error("There is no volume to search for markers.");
    if (!(volume_->getSpacingX() > 0.0 && volume_->getSpacingY() > 0.0 && volume_->getSpacingZ() > 0.0))
        throw std::runtime_error("The volume has an invalid voxel spacing.");
    if (geometry_.size() < 3 || !(tolerance_ > 0.0) || !(ballDiameter_ > 0.0))
        throw std::runtime_error("The marker geometry is incomplete.");

    // Background: the median grey value. Ball level: the value that the brightest quarter
    // of all ball voxels reach (robust against a few hot voxels).
    // One pass over the volume on all cores: the histogram, and each row's brightest voxel
    // so that the blob search can pass over rows with nothing bright in them.
    const unsigned short* voxels = volume_->getVoxels();
    const std::size_t voxelCount = volume_->getVoxelCount();
    const std::size_t nx = volume_->getDimX(), rows = std::size_t(volume_->getDimY()) * volume_->getDimZ();
    std::vector<unsigned short> rowMaximum(rows, 0);
    const unsigned threads = unsigned(std::clamp<std::size_t>(ProcessorAffinity::usableCores(), 1, rows));
    std::vector<std::vector<std::size_t>> partial(threads, std::vector<std::size_t>(65536, 0));
    std::atomic<bool> stop{false};
    auto scan = [&](unsigned t) {
        auto& histogram = partial[t];
        for (std::size_t r = rows * t / threads; r < rows * (t + 1) / threads; ++r)
        {
            const unsigned short* row = voxels + r * nx;
            unsigned short maximum = 0;
            for (std::size_t x = 0; x < nx; ++x)
            {
                ++histogram[row[x]];
                maximum = std::max(maximum, row[x]);
            }
            rowMaximum[r] = maximum;
            if ((r & 0xff) == 0 && (stop || isCancelRequested()))
            {
                stop = true;
                return;
            }
        }
    };
    // The rows of a thread the system does not start are scanned by the calling thread.
    ThreadTeam::run("Detecting markers", threads, scan);
    if (stop)
        return cancelled();
    std::vector<std::size_t>& histogram = partial[0];
    for (unsigned t = 1; t < threads; ++t)
        for (std::size_t v = 0; v < histogram.size(); ++v)
            histogram[v] += partial[t][v];
    std::size_t seen = 0;
    unsigned median = 0;
    while (seen + histogram[median] < (voxelCount + 1) / 2)
        seen += histogram[median++];
    const double voxelVolume = volume_->getSpacingX() * volume_->getSpacingY() * volume_->getSpacingZ();
    const double ballVolume = std::numbers::pi / 6.0 * std::pow(ballDiameter_, 3);
    const std::size_t brightCount =
        std::max<std::size_t>(1, std::size_t(geometry_.size() * ballVolume / voxelVolume / 4.0));
    seen = 0;
    unsigned top = 65535;
    while (top > 0 && seen + histogram[top] < brightCount)
        seen += histogram[top--];
    setProgress(0.1);

    if (top > median + 1)
    {
        // Half way first: the blob is then the ball's own size; higher thresholds part balls
        // that touch bone, lower ones catch faint balls.
        const double fractions[] = {0.5, 0.65, 0.35, 0.8, 0.25};
        const int steps = int(std::size(fractions));
        for (int step = 0; step < steps; ++step)
        {
            if (isCancelRequested())
                return cancelled();
            const auto threshold = static_cast<unsigned short>(
                std::clamp(std::lround(median + fractions[step] * (double(top) - median)), long(median) + 1, 65535L));
            const std::vector<Vector3D> candidates = findCandidates(threshold, rowMaximum);
            setProgress(0.1 + 0.9 * (step + 0.8) / steps);
            const PointMatching::Match match = PointMatching::findGeometry(candidates, geometry_, tolerance_);
            if (match.success)
            {
                transform_ = match.transform;
                for (const Vector3D& g : geometry_)
                    markers_.push_back(transform_ * g);
                return true;
            }
        }
    }
    throw std::runtime_error("Not all markers were found.");
}
VEXA_RETHROW

std::vector<Vector3D> MarkerDetection::findCandidates(unsigned short threshold,
                                                      const std::vector<unsigned short>& rowMaximum) const try
{
    const int nx = int(volume_->getDimX()), ny = int(volume_->getDimY()), nz = int(volume_->getDimZ());
    const double s[3] = {volume_->getSpacingX(), volume_->getSpacingY(), volume_->getSpacingZ()};
    const unsigned short* voxels = volume_->getVoxels();
    auto at = [&](int x, int y, int z) { return voxels[(std::size_t(z) * ny + y) * nx + x]; };

    // Runs of bright voxels row by row, joined with the runs of the rows before them that
    // touch them (26-neighbourhood: x ranges overlapping when widened by one voxel).
    std::vector<Run> runs;
    std::vector<std::size_t> rowStart(std::size_t(ny) * nz + 1, 0);
    auto joinRow = [&](std::size_t first, std::size_t last, int y, int z) {
        if (y < 0 || y >= ny || z < 0)
            return;
        const std::size_t row = std::size_t(z) * ny + y;
        std::size_t other = rowStart[row];
        const std::size_t otherEnd = rowStart[row + 1];
        for (std::size_t r = first; r < last; ++r)
        {
            while (other < otherEnd && runs[other].x1 < runs[r].x0 - 1)
                ++other;
            for (std::size_t o = other; o < otherEnd && runs[o].x0 <= runs[r].x1 + 1; ++o)
                unite(runs, unsigned(r), unsigned(o));
        }
    };
    for (int z = 0; z < nz; ++z)
    {
        if (isCancelRequested())
            return {};
        for (int y = 0; y < ny; ++y)
        {
            const std::size_t row = std::size_t(z) * ny + y;
            rowStart[row] = runs.size();
            if (rowMaximum[row] < threshold)
            {
                rowStart[row + 1] = runs.size();
                continue;
            }
            const unsigned short* line = voxels + row * nx;
            for (int x = 0; x < nx;)
            {
                if (line[x] < threshold)
                {
                    ++x;
                    continue;
                }
                const int x0 = x;
                while (x < nx && line[x] >= threshold)
                    ++x;
                runs.push_back({x0, x - 1, y, z, unsigned(runs.size())});
            }
            rowStart[row + 1] = runs.size();
            const std::size_t first = rowStart[row], last = runs.size();
            joinRow(first, last, y - 1, z);
            joinRow(first, last, y - 1, z - 1);
            joinRow(first, last, y, z - 1);
            joinRow(first, last, y + 1, z - 1);
        }
    }
    if (runs.size() >= UINT32_MAX)
        throw std::runtime_error("The volume is too large for the marker detection.");

    std::vector<Blob> blobs(runs.size());
    for (std::size_t r = 0; r < runs.size(); ++r)
    {
        const Run& run = runs[r];
        Blob& b = blobs[findRoot(runs, unsigned(r))];
        for (int x = run.x0; x <= run.x1; ++x)
        {
            const double w = double(at(x, run.y, run.z)) - threshold + 1.0;
            b.weight += w;
            b.wx += w * x;
            b.wy += w * run.y;
            b.wz += w * run.z;
        }
        b.count += std::size_t(run.x1 - run.x0 + 1);
        const int lo[3] = {run.x0, run.y, run.z}, hi[3] = {run.x1, run.y, run.z};
        for (int a = 0; a < 3; ++a)
        {
            b.minimum[a] = std::min(b.minimum[a], lo[a]);
            b.maximum[a] = std::max(b.maximum[a], hi[a]);
        }
    }

    // Ball-sized, roughly round blobs; their centre refined by the brightness above half
    // way between the ball's peak and its surroundings.
    const double voxelVolume = s[0] * s[1] * s[2];
    const double radius = ballDiameter_ / 2.0;
    struct Found
    {
        double misfit;
        Vector3D position;
    };
    std::vector<Found> found;
    for (std::size_t r = 0; r < runs.size(); ++r)
    {
        const Blob& b = blobs[r];
        if (b.count == 0 || runs[r].parent != r)
            continue;
        const double diameter = std::cbrt(6.0 * double(b.count) * voxelVolume / std::numbers::pi);
        if (diameter < 0.4 * ballDiameter_ || diameter > 1.6 * ballDiameter_)
            continue;
        double shortest = 1e300, longest = 0.0;
        for (int a = 0; a < 3; ++a)
        {
            const double extent = (b.maximum[a] - b.minimum[a] + 1) * s[a];
            shortest = std::min(shortest, extent);
            longest = std::max(longest, extent);
        }
        if (longest > 2.0 * ballDiameter_ || longest > 2.5 * shortest)
            continue;

        Vector3D centre(b.wx / b.weight, b.wy / b.weight, b.wz / b.weight); // voxel indices
        for (int pass = 0; pass < 2; ++pass)
        {
            const double window = radius + 0.5 * std::max({s[0], s[1], s[2]});
            const double shellOuter = radius + 2.0;
            int lo[3], hi[3];
            for (int a = 0; a < 3; ++a)
            {
                const int n = a == 0 ? nx : (a == 1 ? ny : nz);
                lo[a] = std::max(0, int(std::floor(centre[a] - shellOuter / s[a])));
                hi[a] = std::min(n - 1, int(std::ceil(centre[a] + shellOuter / s[a])));
            }
            std::vector<unsigned short> shell;
            double peak = 0.0;
            for (int z = lo[2]; z <= hi[2]; ++z)
                for (int y = lo[1]; y <= hi[1]; ++y)
                    for (int x = lo[0]; x <= hi[0]; ++x)
                    {
                        const Vector3D d((x - centre.x) * s[0], (y - centre.y) * s[1], (z - centre.z) * s[2]);
                        const double distance = d.length();
                        if (distance <= window)
                            peak = std::max(peak, double(at(x, y, z)));
                        else if (distance >= radius + 1.0 && distance <= shellOuter)
                            shell.push_back(at(x, y, z));
                    }
            double background = 0.0;
            if (!shell.empty())
            {
                std::nth_element(shell.begin(), shell.begin() + shell.size() / 2, shell.end());
                background = shell[shell.size() / 2];
            }
            const double half = 0.5 * (peak + background);
            double weight = 0.0;
            Vector3D sum;
            for (int z = lo[2]; z <= hi[2]; ++z)
                for (int y = lo[1]; y <= hi[1]; ++y)
                    for (int x = lo[0]; x <= hi[0]; ++x)
                    {
                        const Vector3D d((x - centre.x) * s[0], (y - centre.y) * s[1], (z - centre.z) * s[2]);
                        const double w = double(at(x, y, z)) - half;
                        if (w > 0.0 && d.length() <= window)
                        {
                            weight += w;
                            sum += Vector3D(x, y, z) * w;
                        }
                    }
            if (weight > 0.0)
                centre = sum / weight;
        }
        const Vector3D local((centre.x + 0.5) * s[0], (centre.y + 0.5) * s[1], (centre.z + 0.5) * s[2]);
        found.push_back({std::abs(diameter - ballDiameter_), volume_->getTransform() * local});
    }

    // The matching tries candidate triples; keep it bounded on volumes full of small bright
    // specks by keeping the blobs closest to the ball's size.
    constexpr std::size_t maximumCandidates = 60;
    std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) { return a.misfit < b.misfit; });
    if (found.size() > maximumCandidates)
        found.resize(maximumCandidates);
    std::vector<Vector3D> positions;
    for (const Found& f : found)
        positions.push_back(f.position);
    return positions;
}
VEXA_RETHROW

std::pair<bool, Matrix44<double>> MarkerDetection::checkManualMarkers(std::vector<Vector3D>& points,
                                                                      const std::vector<Vector3D>& markerGeometry,
                                                                      bool anyOrder, double tolerance) try
{
    const PointMatching::Match match = PointMatching::matchPoints(points, markerGeometry, tolerance, anyOrder);
    if (!match.success)
        return {false, Matrix44<double>()};
    std::vector<Vector3D> reconstructed;
    reconstructed.reserve(markerGeometry.size());
    for (const Vector3D& g : markerGeometry)
        reconstructed.push_back(match.transform * g);
    points = std::move(reconstructed);
    return {true, match.transform};
}
VEXA_RETHROW

}
