#pragma once
// Shared set-up of the planning model tests: implants without description files, a user
// interface that answers as told, and small volumes.
#include "PlanningTestSupport.h"

#include "dicom/import/DicomVolume.h"
#include "planning/model/IPlanningUi.h"
#include "planning/objects/Implant.h"
#include "vexa/core/IAlgorithmProgressState.h"
#include "vexa/mesh/MeshFactory.h"
#include "vexa/volume/VolumeData.h"

#include <QString>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace PlanningTest {

using Volume = Vexa::VolumeData<unsigned short>;

// An implant whose surface is a cylinder along its z axis from the origin to `length`.
inline std::shared_ptr<Implant> makeImplant(const Vexa::Matrix44<double>& transform, unsigned group = 0,
                                            double length = 10.0, double diameter = 4.0,
                                            const std::string& name = "Type")
{
    const Vexa::Matrix44<double> alongZ(Vector3D(0, 0, 1), Vector3D(1, 0, 0), Vector3D(0, 1, 0), Vector3D());
    auto surface = Vexa::createCylinderMesh(alongZ, length, diameter, diameter, true, 12, 1);
    return std::make_shared<Implant>(surface, name, "Maker", "R1", "", length, diameter, diameter + 0.5,
                                     "/db/" + name + ".implant", group, transform);
}

inline std::shared_ptr<Implant> makeImplantAt(const Vector3D& origin, unsigned group = 0, double length = 10.0)
{
    return makeImplant(Vexa::Matrix44<double>(origin), group, length);
}

inline std::shared_ptr<Vexa::DicomVolume> makeData(std::shared_ptr<Volume> volume, int device = 1,
                                                   std::map<uint32_t, std::string> header = {})
{
    auto information = std::make_shared<Vexa::DicomInformation>(std::move(header), device);
    return std::make_shared<Vexa::DicomVolume>(information, volume, std::vector<std::string>{"/cd/IM1", "/cd/IM2"});
}

// Answers as told and records what it was asked.
class FakeUi : public IPlanningUi
{
public:
    bool askYesNo(const QString& caption, const QString& text) override
    {
        questions.push_back((caption + "|" + text).toStdString());
        return answer;
    }
    bool askBeforeDeleting(QWidget* view, const QString& caption, const QString& text) override
    {
        askedOver = view;
        return askYesNo(caption, text);
    }
    void showMessage(const QString& caption, const QString& text) override
    {
        messages.push_back((caption + "|" + text).toStdString());
    }
    bool runJob(Vexa::IAlgorithmProgressState& job, const QString& label) override
    {
        jobs.push_back(label.toStdString());
        if (cancelJobs)
            return false;
        return job.start();
    }
    std::optional<ImplantChoice> chooseImplant(const std::string& databaseFolder, bool mandible) override
    {
        implantDialogs.push_back({databaseFolder, mandible});
        return implantChoice;
    }
    std::optional<int> chooseSegmentationThreshold(std::shared_ptr<const Volume> volume, QWidget*,
                                                   int initialThreshold) override
    {
        thresholdRequests.push_back(initialThreshold);
        segmentationVolume = volume;
        return threshold;
    }

    bool answer = false;
    bool cancelJobs = false;
    std::optional<ImplantChoice> implantChoice;
    std::optional<int> threshold;

    std::vector<std::string> questions;
    QWidget* askedOver = nullptr; // the view the last delete question stood over
    std::vector<std::string> messages;
    std::vector<std::string> jobs;
    std::vector<std::pair<std::string, bool>> implantDialogs;
    std::vector<int> thresholdRequests;
    std::shared_ptr<const Volume> segmentationVolume;
};

// Installs a fake user interface for one test and removes it afterwards.
struct UiInstaller
{
    UiInstaller() : ui(std::make_shared<FakeUi>()) { IPlanningUi::install(ui); }
    ~UiInstaller() { IPlanningUi::install(nullptr); }
    std::shared_ptr<FakeUi> ui;
};

}
