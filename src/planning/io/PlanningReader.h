#pragma once
// The planning load job: reads a planning folder (its ".srl" file, the DICOM series in
// "dicom", the implant descriptions, the 3D model) into the Model. Everything is read and
// built first; only then does the Model take it, in one short step, so a planning that fails
// to load leaves the Model as it was. Not cancelable (the step is short; the rest is reading).
#include "vexa/core/IAlgorithmProgressState.h"
#include "vexa/math/Matrix44.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class Implant;
class Model;
class Settings;

namespace Vexa {
class DicomInformation;
class DicomIOManager;
}

class PlanningReader : public Vexa::IAlgorithmProgressState
{
public:
    // Progress 0, empty error text.
    PlanningReader(std::string file, std::shared_ptr<Model> model, std::shared_ptr<Settings> settings,
                   Vexa::DicomIOManager& manager);

    // Loads the planning; true on success (then the planning file is the settings' planning
    // file and the planning state is 2). Never throws.
    bool start() override;
    void cancel() override {}
    double getProgressState() const override;
    std::string getShortDescription() const override;
    bool isCancelable() const override { return false; }

    // Why the last start failed; empty after success.
    const std::string& getErrorMessage() const { return errorMessage_; }
    // True when the file named no jaw and the reader determined it from the markers.
    bool hasDeterminedJaw() const { return determinedJaw_; }

    // An implant from its description file; throws std::runtime_error naming the file (and,
    // where the description is at fault, the key) when it cannot be made.
    static std::shared_ptr<Implant> loadImplant(const std::string& file, unsigned group,
                                                const Vexa::Matrix44<double>& transform);

    // Tells `settings` the planning `file` as a load of it knows it: its file, its identity (by
    // which it is found again once moved or replaced) and its origin (`origin`, or its folder's
    // name for files saved before the origin was kept).
    static void knowLoaded(Settings& settings, const std::string& file, const std::string& origin);

    // Where a slice of `size` bytes holds fewer than the pixels that a header of its series gives
    // each slice: "is cut short: …", naming both; empty where it holds them all, or the header
    // does not tell.
    static std::string cutShort(const Vexa::DicomInformation& header, std::uintmax_t size);

private:
    void load();
    // Where the planning is now when another instance saved it again while it was read (and took
    // its files away); empty when it was not, or that cannot be told.
    std::string replacement() const;

    std::string file_;
    std::shared_ptr<Model> model_;
    std::shared_ptr<Settings> settings_;
    Vexa::DicomIOManager& manager_;
    std::string errorMessage_;
    // What the load read of the planning file: its origin, and the files it names (relative).
    std::string origin_;
    std::vector<std::string> read_;
    bool determinedJaw_ = false;
    std::atomic<double> progress_{0.0};
    std::atomic<bool> importing_{false};
};
