#pragma once
// Shared by the planning load and save tests: a session of settings, Model and DICOM manager,
// the sample patient the build writes, and a planning to save.
#include "PlanningTestSupport.h"

#include "dicom/import/DicomIOManager.h"
#include "dicom/import/UniversalImporter.h"
#include "planning/model/Model.h"
#include "planning/model/Settings.h"

#include "common/TestSupport.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace PlanningIoTest {

using PlanningTest::readBytes;
using PlanningTest::snapshot;
using PlanningTest::writeText;

inline std::string samplePatientFolder()
{
    return std::string(MORVANTA_BINARY_DIR) + "/app/SamplePatient";
}

inline std::string implantDatabaseFolder()
{
    return std::string(MORVANTA_BINARY_DIR) + "/app/ImplantDatabase";
}

using TestSupport::filesIn;

// The marker centres the generator put into the sample patient, in volume millimetres.
inline std::vector<Vexa::Vector3D> sampleMarkers()
{
    QFile file(QString(MORVANTA_BINARY_DIR) + "/tools/sample_patient_markers.json");
    std::vector<Vexa::Vector3D> markers;
    if (!file.open(QIODevice::ReadOnly))
        return markers;
    for (const QJsonValue& value : QJsonDocument::fromJson(file.readAll()).object().value("volume").toArray()) {
        const QJsonArray c = value.toArray();
        markers.emplace_back(c[0].toDouble(), c[1].toDouble(), c[2].toDouble());
    }
    return markers;
}

struct Session
{
    TestSupport::ScratchDir dir;
    std::shared_ptr<Settings> settings;
    std::shared_ptr<Model> model;
    Vexa::DicomIOManager manager;

    Session()
        : settings(std::make_shared<Settings>(dir.file("Morvanta.ini"))), model(std::make_shared<Model>(settings))
    {
        manager.insertImporter(new Vexa::UniversalImporter);
    }
};

}
