#pragma once
// Case table of the surface generation, built once from the cube's topology rather than
// typed in: for every inside/outside pattern of a cell's eight corners and every way of
// resolving its ambiguous faces, the triangles as triples of cell edges.
//
// On a face whose diagonal corners agree (two inside, two outside) the contour can cut off
// either pair; the choice is made from that face's four values only (the asymptotic
// decider), so both cells that share the face make the same one and the surface has no
// cracks. The face contours of a cell are linked into closed loops, each loop is fanned
// into triangles, counter-clockwise seen from the outside (from the lower values), never
// with a diagonal lying in a cell face (the neighbour could draw the same one).
//
// Corner c lies at (c & 1, (c >> 1) & 1, c >> 2) of the cell. Edges 0-3 run along x from
// corners 0, 2, 4, 6; edges 4-7 along y from corners 0, 1, 4, 5; edges 8-11 along z from
// corners 0, 1, 2, 3.
#include <array>
#include <cstdint>
#include <vector>

namespace Vexa {

class MarchingCubesTable
{
public:
    static constexpr int maxTriangles = 16;
    // Stands in a triangle for the extra vertex at the centre of `centreLoop`.
    static constexpr int centreVertex = 12;

    struct Case
    {
        std::uint8_t triangleCount = 0;
        std::array<std::uint8_t, 3 * maxTriangles> edges{};
        // A few loops that cross an ambiguous face twice cannot be cut into triangles along
        // their own vertices without laying a triangle side into a face; those are fanned
        // around a vertex at the mean of the loop's edge vertices.
        std::uint8_t centreLoopSize = 0;
        std::array<std::uint8_t, 12> centreLoop{};
    };

    static const MarchingCubesTable& get();

    // Corners of face f, in an order that runs counter-clockwise seen from inside the cell.
    static const std::array<std::array<int, 4>, 6>& faceCorners();
    // The two corners of edge e (the first one is the lower one).
    static const std::array<std::array<int, 2>, 12>& edgeCorners();

    // Bit f set: face f is ambiguous for this corner pattern (bit c of pattern = corner c inside).
    std::uint8_t ambiguousFaces(unsigned pattern) const { return ambiguous_[pattern]; }
    // joinedFaces: bit f set = on ambiguous face f the two inside corners are connected.
    // Bits of faces that are not ambiguous are ignored.
    const Case& lookup(unsigned pattern, unsigned joinedFaces) const
    {
        return cases_[pattern * 64 + (joinedFaces & ambiguous_[pattern])];
    }

private:
    MarchingCubesTable();
    static Case build(unsigned pattern, unsigned joinedFaces);
    static bool triangulate(const std::vector<int>& loop, std::vector<std::array<int, 3>>& triangles);

    std::array<std::uint8_t, 256> ambiguous_{};
    std::array<Case, 256 * 64> cases_{};
};

}
