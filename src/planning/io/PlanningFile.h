#pragma once
// The contents of a planning file (".srl", ini syntax) as plain values, and the rules by which
// they are read and written. File names inside are relative to the planning folder.
//
// Groups: [Patient] name, birthday, sex, id; [Planningdata] version, lastModified,
// implantregion; [ImageData] (files from 1.9.0 on; older ones keep the DICOM keys in
// [Planningdata]) imageDevice, numberOfDicomFiles, dicomFile<i>, min/mid/maxVoxelValue;
// [Surface] surfaceFile; [Implant] implant, file<i>, group<i>, transform<i>;
// [PanoramicLine] corners, corner<i>; [Nerve] dividePlane, elements, element<i>type,
// element<i>points, element<i>point<j>; [Marker] markers, detected, method, detectionDone,
// marker<i>; [Slices] transversal, coronal, sagittal.
//
// Text values cannot hold line breaks: each line break (CR, LF or CR LF) in a patient value
// is written as one blank. Numbers may carry a leading "+".
#include "planning/io/saving/Answer.h"
#include "vexa/core/Version.h"
#include "vexa/math/Matrix44.h"
#include "vexa/math/Plane.h"
#include "vexa/math/Vector3.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

struct PlanningFile
{
    struct Implant
    {
        std::string file; // the description file
        unsigned group = 0;
        Vexa::Matrix44<double> transform;
    };
    struct NervePoint
    {
        Vexa::Vector3D position;
        double diameter = 0.0;
        double offset = 0.0;
    };
    struct NerveElement
    {
        int type = 1;
        std::vector<NervePoint> points;
    };

    // [Patient]
    std::string patientName;
    std::string birthday; // YYYYMMDD or empty
    std::string sex;
    std::string patientId;
    // [Planningdata]
    Vexa::Version version{0, 0, 0};
    std::string lastModified; // "MM/dd/yyyy hh:mm:ss", local time
    int jaw = 0;              // 0 unknown, 1 maxilla, 2 mandible
    // The name of the folder the planning was first saved in; every overwrite keeps it, so the
    // planning can be found again after another program instance replaced its folder. Empty in
    // files written before it was kept (their folder's name counts then). One plain folder name
    // (isFolderName); a file with any other is refused.
    std::string origin;
    // DICOM group
    std::string imageDevice;
    std::vector<std::string> dicomFiles;
    std::optional<int> minVoxelValue;
    std::optional<int> midVoxelValue;
    std::optional<int> maxVoxelValue;
    // [Surface]; empty when the planning has no 3D model
    std::string surfaceFile;
    // [Implant], in list order
    std::vector<Implant> implants;
    // [PanoramicLine], world points
    std::vector<Vexa::Vector3D> corners;
    // [Nerve]
    std::optional<Vexa::Plane<double>> dividePlane;
    std::vector<NerveElement> nerveElements;
    // [Marker], geometry order
    std::vector<Vexa::Vector3D> markers;
    bool markersDetected = false;
    int markerDetectionMethod = 0;
    bool markerDetectionDone = false;
    // [Slices], stored (not mirrored) positions
    std::optional<double> transversalPosition;
    std::optional<double> coronalPosition;
    std::optional<double> sagittalPosition;

    // The group holding the DICOM file names of a file of that version.
    static std::string imageGroupFor(const Vexa::Version& version);

    // Reads a planning file. Missing optional keys keep the defaults above. Throws
    // std::runtime_error naming the file (and the group and key) when it cannot be read, is
    // empty, holds binary data or no [Planningdata], has a version that is no version number,
    // when it comes from a newer program version, when a value is damaged or when a required key is
    // missing: the DICOM file names and, for every implant counted, its file, group and
    // transform. A missing version counts as 0.0.0 (DICOM names in [Planningdata]). Refused
    // as well: a group of the planning written in another case ("[implant]"), which would
    // otherwise be passed over, and a file name that leaves the planning folder.
    static PlanningFile read(const std::string& file);
    // The same of the contents of the file `file` (named in messages).
    static PlanningFile parse(const std::string& content, const std::string& file);

    // Whether a relative name stays in its folder (no absolute path, no "..").
    static bool staysInFolder(const std::string& name);
    // Whether a value is one plain folder name, as an origin must be: not empty, no "/", not
    // "." or "..", no control characters, short enough for the files named after it.
    static bool isFolderName(const std::string& name);

    // The files of the planning, relative to its folder `folder` (where the implant
    // descriptions are read): the series, the 3D model and each implant description with the
    // surface and pictures it names. A saved planning owns these and nothing else there.
    // Throws std::runtime_error, with the cause, when a description cannot be read.
    std::vector<std::string> ownFiles(const std::string& folder) const;
    // The same, with the descriptions' texts from `readDescription` (given a description's name
    // relative to the folder: its text, nothing where there is none, or the error that kept it
    // from being read, which is the answer's then).
    using DescriptionReader = std::function<Answer<std::optional<std::string>>(const std::string&)>;
    Answer<std::vector<std::string>> ownFiles(const DescriptionReader& readDescription) const;

    // Writes every group (the DICOM names always to [ImageData]); the file is replaced only
    // once it is completely written. Throws std::runtime_error when writing fails.
    void write(const std::string& file) const;
    // The text write() puts into the file. Throws std::runtime_error for a value that would not
    // read back.
    std::string text() const;
};
