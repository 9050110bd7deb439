// Saving and loading plannings: a planning comes back exactly as it was saved, a failed save
// leaves the previous planning untouched, a failed load leaves the Model untouched, and the
// DICOM import starts a planning or changes nothing.
#include "ModelTestSupport.h"
#include "PlanningIoTestSupport.h"
#include "common/SmallDisk.h"

#include "planning/commands/AddImplantCommand.h"
#include "planning/commands/AddNerveElementPointCommand.h"
#include "planning/commands/AddPanoramicLinePointCommand.h"
#include "planning/commands/DeleteNerveCommand.h"
#include "planning/commands/DeleteNerveElementCommand.h"
#include "planning/commands/DeletePanoramicLineCommand.h"
#include "planning/commands/DeletePanoramicLinePointCommand.h"
#include "planning/commands/GroupSelectedImplantsCommand.h"
#include "planning/commands/MoveImplantCommand.h"
#include "planning/commands/MoveMarkerCommand.h"
#include "planning/commands/MoveNerveElementPointCommand.h"
#include "planning/commands/RotateImplantGroupCommand.h"

#include "dicom/import/DicomVolume.h"
#include "planning/commands/AddMarkerCommand.h"
#include "planning/commands/DeleteSelectedImplantsCommand.h"
#include "planning/commands/ExchangeImplantCommand.h"
#include "planning/io/DicomImport.h"
#include "planning/io/PlanningReader.h"
#include "planning/io/PlanningWriter.h"
#include "planning/model/ImplantManager.h"
#include "planning/model/Marker.h"
#include "planning/objects/Implant.h"
#include "planning/objects/Nerve.h"
#include "planning/objects/OrthoSlicePositioner.h"
#include "planning/objects/PanoramicLine.h"
#include "vexa/core/CommandProcessor.h"
#include "vexa/core/IniFileManager.h"
#include "vexa/mesh/IndexedTriangleMesh.h"
#include "vexa/mesh/MeshFactory.h"
#include "vexa/slice/Slice.h"

#include <QDateTime>
#include <gtest/gtest.h>
#include <atomic>
#include <chrono>
#include <iostream>
#include <random>
#include <regex>
#include <set>
#include <thread>
#include <sys/mount.h>
#include <sys/stat.h>

namespace fs = std::filesystem;
using namespace PlanningIoTest;
using Vexa::Matrix44;
using Vexa::Vector3D;

namespace {

const std::string conicalPro = "/Altavis Dental/Conical Pro/AV-CP-D40-L100.implant";
const std::string qLine = "/Quillon Medical/Q-Line/QM-L-D48-L100.implant";

bool importSample(Session& s, const std::vector<std::string>& files)
{
    DicomImport import(files, s.model, s.settings, s.manager);
    const bool done = import.start();
    EXPECT_EQ(import.getErrorMessage(), "");
    return done;
}

void addNervePoint(Nerve& nerve, const Vector3D& position, double diameter)
{
    Nerve::Element::PointContainer previous;
    const auto added = nerve.addPoint(Nerve::Element::Point::create(position, diameter), previous, false);
    ASSERT_EQ(added.first.size(), 1u) << position.x << " " << position.y;
}

// A planning with something of everything; `sources` are the DICOM files to import.
void makePlanning(Session& s, const std::vector<std::string>& sources)
{
    ASSERT_TRUE(importSample(s, sources));
    Model& model = *s.model;
    std::vector<std::shared_ptr<Marker>> markers;
    for (const Vector3D& position : sampleMarkers())
        markers.push_back(Marker::create(position));
    ASSERT_EQ(markers.size(), 6u);
    model.setMarker(markers);
    model.setMarkerDetected(true);
    model.setMarkerDetectionMethode(Model::AutomaticMarkerDetection);
    s.settings->setMarkerDetectionDone(true);
    model.setJaw(Constants::Mandible);
    model.setMinVoxelValue(900);
    model.setMidVoxelValue(1500);
    model.setMaxVoxelValue(2600);

    model.getPanoramicLine()->setPoints({Vector3D(20, 60, 0), Vector3D(28, 38, 0), Vector3D(44.8, 20, 0),
                                         Vector3D(62, 38, 0), Vector3D(70, 60, 0)});
    Nerve& nerve = *model.getNerve();
    nerve.setDividePlane(Vexa::Plane<double>(Vector3D(44.8, 0, 0), Vector3D(1, 0, 0)));
    addNervePoint(nerve, Vector3D(22, 55, 12), 3.0);
    addNervePoint(nerve, Vector3D(27, 41, 12.5), 2.5);
    addNervePoint(nerve, Vector3D(64, 42, 11), 3.0);
    addNervePoint(nerve, Vector3D(68, 55, 11.5), 3.0);
    // An element of the old format, filed by hand.
    auto old = Nerve::Element::create(model.getPanoramicLine(), Nerve::Element::OldFormat);
    auto point = Nerve::Element::Point::create(Vector3D(35, 27, 10), 2.0);
    point->offset = model.getPanoramicLine()->getOffset(point->position).second;
    ASSERT_TRUE(old->simpleAddPoint(point));
    ASSERT_TRUE(nerve.addElement(old));

    const auto manager = model.getImplantManager();
    const std::string database = implantDatabaseFolder();
    manager->addImplant(Implant::createFromFile(Matrix44<double>(Vector3D(0.1, -0.2, 0.3), Vector3D(30, 36, 20)), 1,
                                                database + conicalPro));
    manager->addImplant(Implant::createFromFile(Matrix44<double>(Vector3D(0.1, -0.2, 0.3), Vector3D(38, 27, 20)), 1,
                                                database + conicalPro));
    manager->addImplant(Implant::createFromFile(Matrix44<double>(Vector3D(-0.05, 0.02, 1.0 / 3.0),
                                                                 Vector3D(60, 36, 21.125)),
                                                0, database + qLine));
    ASSERT_EQ(manager->numberOfImplants(), 3u);

    model.set3DModel(Vexa::createBoxMesh(Matrix44<double>(Vector3D(40, 40, 20)), Vector3D(10, 12, 14)));
    model.getTransversalSlicePositioner()->setSlicePosition(20.3);
    model.getCoronalSlicePositioner()->setSlicePosition(30.1);
    model.getSagitalSlicePositioner()->setSlicePosition(40.7);
}

// The planning content of two Models is the same.
void expectSamePlanning(Model& a, Model& b)
{
    EXPECT_EQ(a.getPatientData(), b.getPatientData());
    EXPECT_EQ(a.getJaw(), b.getJaw());
    EXPECT_EQ(a.getMinVoxelValue(), b.getMinVoxelValue());
    EXPECT_EQ(a.getMidVoxelValue(), b.getMidVoxelValue());
    EXPECT_EQ(a.getMaxVoxelValue(), b.getMaxVoxelValue());

    const auto va = a.getVolumeData();
    const auto vb = b.getVolumeData();
    ASSERT_TRUE(va && vb);
    ASSERT_EQ(va->getVoxelCount(), vb->getVoxelCount());
    EXPECT_TRUE(std::equal(va->getVoxels(), va->getVoxels() + va->getVoxelCount(), vb->getVoxels()));
    EXPECT_EQ(va->getSpacingZ(), vb->getSpacingZ());

    ASSERT_EQ(a.getMarkers().size(), b.getMarkers().size());
    for (std::size_t i = 0; i < a.getMarkers().size(); ++i)
        EXPECT_EQ((a.getMarkers()[i]->getPosition() - b.getMarkers()[i]->getPosition()).length(), 0.0) << i;
    EXPECT_EQ(a.isMarkerDetected(), b.isMarkerDetected());
    EXPECT_EQ(a.getMarkerDetectionMethode(), b.getMarkerDetectionMethode());

    const auto la = a.getPanoramicLine();
    const auto lb = b.getPanoramicLine();
    ASSERT_EQ(la->numberOfCorners(), lb->numberOfCorners());
    for (auto i = la->cornersBegin(), j = lb->cornersBegin(); i != la->cornersEnd(); ++i, ++j)
        EXPECT_LT((la->toWorld((*i)->getPosition()) - lb->toWorld((*j)->getPosition())).length(), 1e-12);

    const auto na = a.getNerve();
    const auto nb = b.getNerve();
    // As drawing does: tubes that a change left to be rebuilt are built.
    na->validate(Nerve::Element::PointPtr(), false);
    nb->validate(Nerve::Element::PointPtr(), false);
    EXPECT_LT((na->getDividePlane().getNormal() - nb->getDividePlane().getNormal()).length(), 1e-12);
    ASSERT_EQ(std::distance(na->elementsBegin(), na->elementsEnd()), std::distance(nb->elementsBegin(), nb->elementsEnd()));
    for (auto i = na->elementsBegin(), j = nb->elementsBegin(); i != na->elementsEnd(); ++i, ++j) {
        EXPECT_EQ(i->first, j->first);
        EXPECT_EQ(i->second->getType(), j->second->getType());
        const auto& pa = i->second->getPointContainer();
        const auto& pb = j->second->getPointContainer();
        ASSERT_EQ(pa.size(), pb.size());
        for (auto p = pa.begin(), q = pb.begin(); p != pa.end(); ++p, ++q) {
            EXPECT_EQ(((*p)->position - (*q)->position).length(), 0.0);
            EXPECT_EQ((*p)->offset, (*q)->offset);
            EXPECT_EQ((*p)->diameter, (*q)->diameter);
        }
        EXPECT_TRUE(j->second->isValid());
    }

    const auto& ia = a.getImplantManager()->getImplants();
    const auto& ib = b.getImplantManager()->getImplants();
    ASSERT_EQ(ia.size(), ib.size());
    for (std::size_t i = 0; i < ia.size(); ++i) {
        EXPECT_EQ(fs::path(ia[i]->getFilename()).filename(), fs::path(ib[i]->getFilename()).filename());
        EXPECT_EQ(ia[i]->getGroup(), ib[i]->getGroup());
        EXPECT_EQ(ia[i]->getName(), ib[i]->getName());
        EXPECT_EQ(ia[i]->getLength(), ib[i]->getLength());
        EXPECT_EQ(ia[i]->getSurfaceModel()->getTriangleCount(), ib[i]->getSurfaceModel()->getTriangleCount());
        for (int k = 0; k < 16; ++k)
            EXPECT_NEAR(ia[i]->getTransform()[k], ib[i]->getTransform()[k], 1e-9) << i << " " << k;
    }

    const auto ma = a.get3DModel();
    const auto mb = b.get3DModel();
    ASSERT_EQ(bool(ma), bool(mb));
    if (ma) {
        ASSERT_EQ(ma->getTriangles(), mb->getTriangles());
        ASSERT_EQ(ma->getVertexCount(), mb->getVertexCount());
        for (std::size_t k = 0; k < ma->getVertices().size(); ++k)
            EXPECT_EQ(float(ma->getVertices()[k]), float(mb->getVertices()[k])) << k;
    }

    for (const auto& [pa, pb] : {std::pair{a.getTransversalSlicePositioner(), b.getTransversalSlicePositioner()},
                                 {a.getCoronalSlicePositioner(), b.getCoronalSlicePositioner()},
                                 {a.getSagitalSlicePositioner(), b.getSagitalSlicePositioner()}})
        EXPECT_NEAR(pa->getSlicePosition(true), pb->getSlicePosition(true), 1e-9);
}

std::string planningFile(const Session& s, const std::string& name)
{
    return s.dir.file("patients/" + name + "/" + name + ".srl");
}

std::string save(Session& s, const std::string& file, bool overwrite)
{
    PlanningWriter writer(file, s.model, s.settings, overwrite);
    const bool done = writer.start();
    EXPECT_EQ(done, writer.getErrorMessage().empty());
    if (done) {
        EXPECT_EQ(writer.getProgressState(), 1.0);
    }
    return writer.getErrorMessage();
}

std::string load(Session& s, const std::string& file, bool* determinedJaw = nullptr)
{
    PlanningReader reader(file, s.model, s.settings, s.manager);
    const bool done = reader.start();
    EXPECT_EQ(done, reader.getErrorMessage().empty());
    if (determinedJaw)
        *determinedJaw = reader.hasDeterminedJaw();
    return reader.getErrorMessage();
}

// No hidden leftovers of saving beside the plannings.
std::vector<std::string> hiddenEntries(const std::string& folder)
{
    std::vector<std::string> hidden;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.path().filename().string().front() == '.')
            hidden.push_back(entry.path().filename().string());
    return hidden;
}

// The main window's overwrite: the planning written into a folder of a new name beside the one
// loaded, which it replaces.
std::string overwrite(Session& s, const std::string& name)
{
    const fs::path old(s.settings->getPlanningFile());
    const std::string file = (old.parent_path().parent_path() / name / (name + ".srl")).string();
    EXPECT_EQ(save(s, file, true), "");
    return file;
}

// The plannings under a patient folder, each checked to hold its one planning file.
std::set<std::string> plannings(const std::string& patients)
{
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(patients)) {
        names.insert(entry.path().filename().string());
        std::vector<fs::path> files;
        for (const auto& file : fs::directory_iterator(entry.path()))
            if (file.path().extension() == ".srl")
                files.push_back(file.path().filename());
        EXPECT_EQ(files, std::vector<fs::path>{entry.path().filename().string() + ".srl"});
    }
    return names;
}

}

TEST(PlanningWriterReader, SameModelSavesAgainAndAgainThroughEveryFlow)
{
    Session s;
    makePlanning(s, filesIn(samplePatientFolder()));
    const std::string patients = s.dir.file("patients");
    Vexa::CommandProcessor processor;
    const auto manager = s.model->getImplantManager();
    const auto check = [&](const std::string& file, std::set<std::string> expected) {
        Session fresh;
        ASSERT_EQ(load(fresh, file), "");
        expectSamePlanning(*s.model, *fresh.model);
        EXPECT_EQ(plannings(patients), expected);
    };
    ASSERT_EQ(save(s, planningFile(s, "a"), false), "");
    check(planningFile(s, "a"), {"a"});
    check(overwrite(s, "b"), {"b"});
    ASSERT_EQ(save(s, planningFile(s, "c"), false), "");
    check(planningFile(s, "c"), {"b", "c"});
    // What else the folder holds goes along with every overwrite.
    writeText(s.dir.file("patients/c/images/shot.png"), "screenshot");
    writeText(s.dir.file("patients/c/Log/a.log"), "treatment");

    // Overwritten (the old folder goes once the new one stands) after a deletion and after an
    // exchange.
    manager->setSelection({manager->getImplant(1)});
    processor.execute(DeleteSelectedImplantsCommand::create(manager));
    ASSERT_EQ(save(s, planningFile(s, "d"), true), "");
    check(planningFile(s, "d"), {"b", "d"});
    processor.execute(ExchangeImplantCommand::create(
        manager, manager->getImplant(1), Implant::createFromFile(Matrix44<double>(), 0, implantDatabaseFolder() + qLine)));
    check(overwrite(s, "e"), {"b", "e"});
    // The deleted and the exchanged implant come back; their descriptions moved twice since.
    processor.undo();
    processor.undo();
    ASSERT_EQ(manager->numberOfImplants(), 3u);
    check(overwrite(s, "f"), {"b", "f"});
    EXPECT_TRUE(hiddenEntries(patients).empty());
    EXPECT_EQ(manager->getImplant(1)->getFilename(), s.dir.file("patients/f/implant/0/AV-CP-D40-L100.implant"));
    EXPECT_EQ(readBytes(s.dir.file("patients/f/images/shot.png")), "screenshot");
    EXPECT_EQ(readBytes(s.dir.file("patients/f/Log/a.log")), "treatment");
}

TEST(DicomImport, StartsAPlanningOrChangesNothing)
{
    Session s;
    const std::vector<std::string> files = filesIn(samplePatientFolder());
    ASSERT_EQ(files.size(), 160u);
    s.settings->setPlanningFile("/old/planning.srl");
    {
        DicomImport import(files, s.model, s.settings, s.manager);
        ASSERT_TRUE(import.start());
        EXPECT_EQ(import.getErrorMessage(), "");
        EXPECT_EQ(import.getProgressState(), 1.0);
    }
    ASSERT_TRUE(s.model->getVolumeData());
    EXPECT_EQ(s.model->getVolumeData()->getDimZ(), 160u);
    EXPECT_TRUE(std::dynamic_pointer_cast<Vexa::DicomVolume>(s.model->getData()));
    EXPECT_EQ(s.settings->getPlanningState(), 1);
    EXPECT_EQ(s.settings->getPlanningFile(), "") << "a new planning overwrites no older one";
    const auto patient = s.model->getPatientData();
    EXPECT_EQ(patient.at("name"), "Sample^Patient");
    EXPECT_EQ(patient.at("birthday"), "19650412");
    EXPECT_EQ(s.model->getDicomFiles().size(), 160u);

    // A failed import (a file no importer reads first) and a cancelled one change nothing.
    s.model->addMarker(Marker::create(Vector3D(1, 2, 3)));
    s.settings->setPlanningState(2);
    const auto data = s.model->getData();
    TestSupport::ScratchDir other;
    std::ofstream(other.file("notes.txt")) << "no DICOM";
    std::vector<std::string> withText = files;
    withText.insert(withText.begin(), other.file("notes.txt"));
    {
        DicomImport import(withText, s.model, s.settings, s.manager);
        EXPECT_FALSE(import.start());
        EXPECT_NE(import.getErrorMessage().find(other.file("notes.txt")), std::string::npos)
            << import.getErrorMessage();
    }
    // A slice cut short in its pixel data: the file is named, and what is wrong in words.
    std::vector<std::string> withCut = files;
    withCut[5] = other.file("cut.dcm");
    fs::copy_file(files[5], withCut[5]);
    fs::resize_file(withCut[5], fs::file_size(files[5]) - 100);
    {
        DicomImport import(withCut, s.model, s.settings, s.manager);
        EXPECT_FALSE(import.start());
        EXPECT_EQ(import.getErrorMessage(), "The DICOM file " + withCut[5] + " could not be imported: the file is cut short: it holds " +
                                                std::to_string(fs::file_size(withCut[5])) + " of the " +
                                                std::to_string(fs::file_size(files[5])) + " bytes its image needs.");
    }
    {
        DicomImport import(files, s.model, s.settings, s.manager);
        import.cancel();
        EXPECT_FALSE(import.start());
        EXPECT_EQ(import.getErrorMessage(), "DICOM error 20113: import cancelled");
    }
    {
        DicomImport import({}, s.model, s.settings, s.manager);
        EXPECT_FALSE(import.start());
        EXPECT_NE(import.getErrorMessage(), "");
    }
    EXPECT_EQ(s.model->getData(), data);
    EXPECT_EQ(s.model->getMarkers().size(), 1u);
    EXPECT_EQ(s.settings->getPlanningState(), 2);
}

TEST(PlanningWriterReader, PlanningComesBackAsSaved)
{
    Session s;
    makePlanning(s, filesIn(samplePatientFolder()));
    const std::string file = planningFile(s, "2024-03-01__09-30-00-123");
    ASSERT_EQ(save(s, file, false), "");
    EXPECT_EQ(s.settings->getPlanningFile(), file);
    EXPECT_EQ(s.settings->getPlanningState(), 2);
    EXPECT_TRUE(hiddenEntries(s.dir.file("patients")).empty());

    // The folder: the series, the 3D model, one folder per implant description.
    const std::string folder = fs::path(file).parent_path().string();
    EXPECT_EQ(filesIn(folder + "/dicom").size(), 160u);
    EXPECT_EQ(s.model->getDicomFiles().front().rfind(folder + "/dicom/", 0), 0u) << "the Model names the copies";
    for (const char* name : {"/surface/model.sff", "/implant/0/AV-CP-D40-L100.implant", "/implant/0/AV-CP-D40-L100.sff",
                             "/implant/0/AV-CP-D40-L100.bmp", "/implant/1/QM-L-D48-L100.implant"})
        EXPECT_TRUE(fs::is_regular_file(folder + name)) << name;
    EXPECT_FALSE(fs::exists(folder + "/implant/2"));
    EXPECT_TRUE(fs::is_directory(folder + "/images") && fs::is_directory(folder + "/system"));

    // Every key the load dialog reads strictly, and the first DICOM file readable through
    // the folder path, as the dialog and the reload flow read it.
    {
        const Vexa::IniFileManager ini(file, Vexa::IniFileManager::ReadOnly | Vexa::IniFileManager::Strict);
        EXPECT_EQ(ini.getValue("Planningdata", "version", ""), "2.0.3");
        const std::string modified = ini.getValue("Planningdata", "lastModified", "");
        EXPECT_TRUE(QDateTime::fromString(QString::fromStdString(modified), "MM/dd/yyyy hh:mm:ss").isValid()) << modified;
        EXPECT_EQ(ini.getValue("Patient", "name", ""), "Sample^Patient");
        EXPECT_EQ(ini.getValue("Patient", "birthday", ""), "19650412");
        EXPECT_EQ(ini.getValue("Planningdata", "implantregion", 0), 2);
        EXPECT_EQ(ini.getValue("Implant", "implant", 0), 3);
        const std::string first = ini.getPath() + ini.getValue("ImageData", "dicomFile0", "");
        EXPECT_EQ(s.manager.readInformation(first)->getImageDeviceName(), "CT");
        EXPECT_EQ(ini.getValue("ImageData", "imageDevice", ""), "CT");
    }

    // Commands of the planning before hold its objects: loading clears both stacks.
    Session fresh;
    const auto processor = Vexa::CommandProcessor::getInstance();
    processor->execute(AddMarkerCommand::create(fresh.model, Vector3D(1, 2, 3)));
    processor->execute(AddMarkerCommand::create(fresh.model, Vector3D(4, 5, 6)));
    processor->undo();
    ASSERT_TRUE(processor->canUndo() && processor->canRedo());
    bool determined = true;
    ASSERT_EQ(load(fresh, file, &determined), "");
    EXPECT_FALSE(processor->canUndo() || processor->canRedo());
    EXPECT_FALSE(determined);
    expectSamePlanning(*s.model, *fresh.model);
    EXPECT_EQ(fresh.settings->getPlanningFile(), file);
    EXPECT_EQ(fresh.settings->getPlanningState(), 2);
    EXPECT_TRUE(fresh.settings->isMarkerDetectionDone());
    EXPECT_EQ(fresh.model->getImplantManager()->getImplants()[0]->getFilename(),
              folder + "/implant/0/AV-CP-D40-L100.implant");

    // Without a stored jaw the reader determines it from the markers.
    {
        Vexa::IniFileManager ini(file, 0);
        ini.setValue("Planningdata", "implantregion", 0);
        ini.write();
    }
    Session third;
    ASSERT_EQ(load(third, file, &determined), "");
    EXPECT_TRUE(determined);
    EXPECT_NE(third.model->getJaw(), Constants::JawUndetermined);
}

TEST(PlanningWriterReader, FailedSaveLeavesThePreviousPlanningAsItWas)
{
    Session s;
    // The series from a copy of the sample patient, so that a file can go missing.
    TestSupport::ScratchDir series;
    std::vector<std::string> sources;
    for (const std::string& source : filesIn(samplePatientFolder())) {
        sources.push_back(series.file(fs::path(source).filename().string()));
        fs::copy_file(source, sources.back());
    }
    makePlanning(s, sources);
    const std::vector<std::string> sourceList = s.model->getDicomFiles();
    const std::string file = planningFile(s, "2024-03-01__10-00-00-1");
    ASSERT_EQ(save(s, file, false), "");
    // Saving points the Model at the copies; the next saves take the series from its copy.
    s.model->setDicomFiles(sourceList);
    std::ofstream(fs::path(file).parent_path() / "images" / "shot.png") << "screenshot";
    const auto before = snapshot(s.dir.file("patients"));

    // A DICOM source gone.
    s.model->getImplantManager()->setImplantPosition(s.model->getImplantManager()->getImplant(1), Vector3D(1, 2, 3));
    fs::remove(sources[17]);
    std::string error = save(s, file, false);
    // Said so, with the cause and where the planning loaded is.
    const std::string unchanged = "\nThe planning loaded is unchanged in " + fs::path(file).parent_path().string() + ".";
    EXPECT_EQ(error, "The planning was not saved.\nCould not copy the DICOM file " + sources[17] +
                         ": the file does not exist." + unchanged);
    EXPECT_EQ(snapshot(s.dir.file("patients")), before);
    EXPECT_EQ(s.model->getDicomFiles(), sourceList);
    fs::copy_file(samplePatientFolder() + "/" + fs::path(sources[17]).filename().string(), sources[17]);

    // An implant description gone from the database.
    TestSupport::ScratchDir database;
    fs::copy(implantDatabaseFolder() + "/Quillon Medical/Q-Line", database.path());
    const std::string description = database.file("QM-L-D48-L100.implant");
    s.model->getImplantManager()->addImplant(Implant::createFromFile(Matrix44<double>(), 0, description));
    fs::remove(description);
    error = save(s, file, false);
    EXPECT_EQ(error, "The planning was not saved.\nCould not copy the implant description " + description +
                         ": the file does not exist." + unchanged);
    EXPECT_EQ(snapshot(s.dir.file("patients")), before);

    // A file where the planning's folder must go.
    std::ofstream(s.dir.file("blocked")) << "a file";
    error = save(s, s.dir.file("blocked/x/x.srl"), false);
    EXPECT_NE(error.find(s.dir.file("blocked")), std::string::npos) << error;
    EXPECT_EQ(snapshot(s.dir.file("patients")), before);
    EXPECT_TRUE(hiddenEntries(s.dir.file("patients")).empty());
    EXPECT_EQ(s.settings->getPlanningFile(), file);

    // A Model without data has nothing to save.
    Session empty;
    EXPECT_EQ(save(empty, planningFile(empty, "none"), false), "The planning was not saved.\nThere is no patient data to save.");
}

TEST(PlanningWriterReader, FailedLoadLeavesTheModelAsItWas)
{
    Session s;
    makePlanning(s, filesIn(samplePatientFolder()));
    const std::string file = planningFile(s, "2024-03-01__12-00-00-1");
    ASSERT_EQ(save(s, file, false), "");
    const std::string folder = fs::path(file).parent_path().string();

    Session target;
    ASSERT_EQ(load(target, file), "");
    const auto data = target.model->getData();
    const auto implants = target.model->getImplantManager()->getImplants();
    const auto markers = target.model->getMarkers();
    const auto corners = target.model->getPanoramicLine()->numberOfCorners();
    const auto expectUnchanged = [&] {
        EXPECT_EQ(target.model->getData(), data);
        EXPECT_EQ(target.model->getImplantManager()->getImplants(), implants);
        EXPECT_EQ(target.model->getMarkers(), markers);
        EXPECT_EQ(target.model->getPanoramicLine()->numberOfCorners(), corners);
        EXPECT_EQ(target.model->getJaw(), Constants::Mandible);
        EXPECT_EQ(target.settings->getPlanningFile(), file);
    };

    // A damaged planning file.
    const std::string damaged = s.dir.file("damaged/damaged.srl");
    fs::create_directories(s.dir.file("damaged"));
    fs::copy(folder + "/dicom", s.dir.file("damaged/dicom"));
    std::string text = readBytes(file);
    const auto at = text.find("transform1 = ");
    ASSERT_NE(at, std::string::npos);
    text.insert(at + 13, 1, 'x');
    std::ofstream(damaged, std::ios::binary) << text;
    EXPECT_EQ(load(target, damaged),
              "The planning file " + damaged + " holds an invalid value of \"transform1\" in [Implant].");
    expectUnchanged();

    // An implant description missing from the planning folder.
    fs::remove(folder + "/implant/1/QM-L-D48-L100.implant");
    const std::string error = load(target, file);
    EXPECT_EQ(error.rfind("Could not load the implant description " + folder + "/implant/1/QM-L-D48-L100.implant", 0),
              0u)
        << error;
    expectUnchanged();

    // A DICOM file missing.
    fs::remove(s.dir.file("damaged/dicom/" + fs::path(filesIn(s.dir.file("damaged/dicom"))[5]).filename().string()));
    std::ofstream(damaged, std::ios::binary) << readBytes(file);
    EXPECT_NE(load(target, damaged), "");
    expectUnchanged();

    // No planning file at all.
    EXPECT_EQ(load(target, s.dir.file("none.srl")), "The planning file " + s.dir.file("none.srl") + " cannot be read.");
    expectUnchanged();
}

// A planning that misses a file its load reads is refused with the cause as the system or the
// DICOM reader gives it, and the text names no part of the program.
TEST(PlanningWriterReader, FailedLoadNamesTheCause)
{
    Session s;
    makePlanning(s, filesIn(samplePatientFolder()));
    const std::string saved = planningFile(s, "2024-03-01__12-00-00-1");
    ASSERT_EQ(save(s, saved, false), "");
    const std::string description = "implant/1/QM-L-D48-L100.implant";
    const std::string slice = "dicom/" + fs::path(filesIn(fs::path(saved).parent_path().string() + "/dicom")[7]).filename().string();
    const struct
    {
        const char* name;
        std::string file;    // damaged, in the planning's folder
        bool cut;            // cut to half its size, else removed
        std::string reason;  // in the text: "<path>" stands for the file, "<name>" for its name in the planning
    } cases[] = {
        {"description", description, false, "Could not load the implant description <path>: No such file or directory."},
        {"surface", "implant/1/QM-L-D48-L100.sff", false, "Error loading implant surface\n<path>\nThe file is missing."},
        {"3D model", "surface/model.sff", false, "Could not read the 3D model <path>: No such file or directory."},
        // Every slice is looked at before the series is read: one cut short or missing is named.
        {"slice", slice, true, "names the DICOM file <name>, which is cut short: it holds "},
        {"missing slice", slice, false, "names the DICOM file <name>, which is missing."},
    };
    // Program parts as they would show: "IniFileManager: ", "PlanningReader::load".
    const std::regex className("\\b[A-Z][a-z]+[A-Z][A-Za-z]*(:|::)");
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        const std::string folder = s.dir.file(std::string("damaged ") + c.name);
        fs::copy(fs::path(saved).parent_path(), folder, fs::copy_options::recursive);
        const std::string file = folder + "/" + fs::path(saved).filename().string();
        const std::string path = folder + "/" + c.file;
        if (c.cut)
            fs::resize_file(path, fs::file_size(path) / 2);
        else
            ASSERT_TRUE(fs::remove(path));
        Session target;
        const std::string error = load(target, file);
        std::string reason = c.reason;
        if (const auto at = reason.find("<path>"); at != std::string::npos)
            reason.replace(at, 6, path);
        if (const auto at = reason.find("<name>"); at != std::string::npos)
            reason.replace(at, 6, c.file);
        EXPECT_NE(error.find(reason), std::string::npos) << error;
        EXPECT_FALSE(std::regex_search(error, className)) << error;
        EXPECT_EQ(target.model->getData(), nullptr) << "the Model stays empty";
    }
}

TEST(Settings, BuildWritesTheSettingsFileBesideTheProgram)
{
    const std::string file = std::string(MORVANTA_BINARY_DIR) + "/app/Morvanta.ini";
    ASSERT_TRUE(fs::is_regular_file(file));
    Settings settings(file);
    // Plannings apart from the sample the import starts in: each holds a copy of its series.
    EXPECT_EQ(settings.getPatientPaths(), std::vector<std::string>{std::string(MORVANTA_BINARY_DIR) + "/app/Plannings"});
    EXPECT_EQ(settings.getCdpath(), samplePatientFolder());
}

TEST(PlanningStress, LoadsAndImportsWhileOtherThreadsRead)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    const int loads = 80; // the sanitizers make each load many times slower
#else
    const int loads = 200;
#endif
    // A short series keeps each load quick; the planning has something of everything.
    const std::vector<std::string> all = filesIn(samplePatientFolder());
    const std::vector<std::string> series(all.begin(), all.begin() + 24);
    Session s, target;
    makePlanning(s, series);
    ASSERT_EQ(save(s, planningFile(s, "stress"), false), "");
    std::atomic<bool> stop{false};
    std::atomic<long> reads{0}, longestWait{0}; // microseconds a reader waited for the lock
    const Model& model = *target.model;
    const auto reader = [&](unsigned seed) {
        std::mt19937 random(seed);
        std::uniform_real_distribution<double> coordinate(0.0, 90.0);
        for (double sum = 0.0; !stop; ++reads) {
            const Vector3D point(coordinate(random), coordinate(random), coordinate(random) / 8.0);
            model.getElementsNearToPos(point, 0xFF);
            const Model::CrossSections sections = target.model->getCrossSections();
            for (auto it = sections.begin; it != sections.end; ++it)
                sum += (*it)->getTransform()[12];
            const auto start = std::chrono::steady_clock::now();
            const auto lock = model.readLock();
            longestWait = std::max(longestWait.load(), long(std::chrono::duration_cast<std::chrono::microseconds>(
                                                                std::chrono::steady_clock::now() - start).count()));
            const auto nerve = model.getNerve();
            for (auto it = nerve->elementsBegin(); it != nerve->elementsEnd(); ++it)
                for (const auto& p : it->second->getPointContainer())
                    sum += p->position.x + p->offset;
            nerve->getElementNear(point);
            for (const auto& implant : model.getImplantManager()->getImplants())
                sum += implant->getTransform()[13];
            ASSERT_TRUE(std::isfinite(sum));
        }
    };
    std::thread first(reader, 1u), second(reader, 2u);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < loads && !HasFailure(); ++i) {
        if (i % 2 == 0)
            EXPECT_EQ(load(target, planningFile(s, "stress")), "");
        else
            EXPECT_TRUE(importSample(target, series));
        EXPECT_EQ(target.model->getImplantManager()->numberOfImplants(), i % 2 == 0 ? 3u : 0u);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    stop = true;
    first.join();
    second.join();
    std::cout << loads << " loads and imports in " << seconds << " s, " << reads.load()
              << " reads beside them; the longest wait for the lock " << longestWait.load() / 1000.0 << " ms\n";
}

TEST(PlanningWriterReader, UndoAllAndRedoAllOfRandomCommandsAcrossSavesAndLoads)
{
    PlanningTest::UiInstaller installer;
    const std::vector<std::string> all = filesIn(samplePatientFolder());
    Session s, reference, m, after, undone;
    makePlanning(s, std::vector<std::string>(all.begin(), all.begin() + 24));
    ASSERT_EQ(save(s, planningFile(s, "original"), false), "");
    ASSERT_EQ(load(reference, planningFile(s, "original")), "");
    ASSERT_EQ(load(m, planningFile(s, "original")), "");

    const auto manager = m.model->getImplantManager();
    const auto nerve = m.model->getNerve();
    const auto line = m.model->getPanoramicLine();
    std::mt19937 random(11);
    const auto pick = [&](std::size_t n) { return std::uniform_int_distribution<std::size_t>(0, n - 1)(random); };
    const auto somewhere = [&] { return Vector3D(20.0 + pick(50), 20.0 + pick(40), 8.0 + pick(8)); };
    const auto anImplant = [&] { return manager->getImplant(unsigned(1 + pick(manager->numberOfImplants()))); };
    const auto fromDatabase = [&] {
        return Implant::createFromFile(Matrix44<double>(), 0, implantDatabaseFolder() + (pick(2) ? conicalPro : qLine));
    };
    const auto nerveAt = [&] {
        return (line->numberOfCorners() > 1 ? line->getWorldPos(double(pick(unsigned(line->getLength())))) : somewhere()) +
               Vector3D(0, 0, 10);
    };
    using Command = std::shared_ptr<Vexa::AbstractCommand>;
    // Each makes one command for the planning as it is, or none where it has nothing to act on.
    const std::vector<std::function<Command()>> makers{
        [&] {
            installer.ui->implantChoice = IPlanningUi::ImplantChoice{fromDatabase(), true};
            return AddImplantCommand::create(manager, Matrix44<double>(somewhere()), 2, pick(2) == 1);
        },
        [&] { return AddMarkerCommand::create(m.model, somewhere()); },
        [&] { return AddNerveElementPointCommand::create(nerve, nerveAt(), 3.0); },
        [&] { return DeleteNerveCommand::create(nerve); },
        [&] { return nerve->isEmpty() ? nullptr : DeleteNerveElementCommand::create(nerve, nerve->elementsBegin()); },
        [&] { return DeleteSelectedImplantsCommand::create(manager); },
        [&] { return GroupSelectedImplantsCommand::create(manager); },
        [&] { return DeletePanoramicLineCommand::create(m.model); },
        [&] { return AddPanoramicLinePointCommand::create(m.model, Vector3D(10.0 + pick(70), 20.0 + pick(50), 0)); },
        [&] { return line->numberOfCorners() ? DeletePanoramicLinePointCommand::create(m.model, line->cornersBegin()) : nullptr; },
        [&]() -> Command {
            return manager->numberOfImplants() ? ExchangeImplantCommand::create(manager, anImplant(), fromDatabase()) : nullptr;
        },
        [&]() -> Command {
            if (!manager->numberOfImplants())
                return nullptr;
            const auto implant = anImplant();
            return MoveImplantCommand::create(manager, implant, implant->getTransform().getTranslation(), somewhere());
        },
        [&]() -> Command {
            if (!manager->numberOfImplants())
                return nullptr;
            const auto implant = anImplant();
            manager->prepareTransforming(implant); // the drag
            manager->rotateImplant(implant, Vector3D(1, 0, 0), 0.1 * double(pick(5)));
            return RotateImplantGroupCommand::create(manager);
        },
        [&]() -> Command {
            if (m.model->getMarkers().empty())
                return nullptr;
            const auto marker = m.model->getMarkers()[pick(m.model->getMarkers().size())];
            return MoveMarkerCommand::create(m.model, marker, marker->getPosition(), somewhere());
        },
        [&]() -> Command {
            if (nerve->isEmpty() || nerve->elementsBegin()->second->getPointContainer().empty())
                return nullptr;
            const auto point = nerve->elementsBegin()->second->getPointContainer().front();
            return MoveNerveElementPointCommand::create(nerve, point, point->position, point->position + Vector3D(0.5, 0, 1));
        },
    };
    Vexa::CommandProcessor processor;
    const auto run = [&](int count) {
        for (int i = 0; i < count; ++i) {
            ImplantManager::SelectionList selection;
            for (const auto& implant : manager->getImplants())
                if (pick(2))
                    selection.push_back(implant);
            manager->setSelection(selection);
            if (const Command command = makers[pick(makers.size())]())
                processor.execute(command);
        }
    };
    // Commands, an overwrite, more commands, a save as new: then all undone, the planning is
    // the one loaded (and saves as such); all redone, the one saved last.
    run(25);
    overwrite(m, "one");
    run(25);
    ASSERT_EQ(save(m, planningFile(m, "two"), false), "");
    ASSERT_EQ(load(after, planningFile(m, "two")), "");
    while (processor.canUndo())
        processor.undo();
    expectSamePlanning(*reference.model, *m.model);
    ASSERT_EQ(save(m, planningFile(m, "undone"), false), "");
    ASSERT_EQ(load(undone, planningFile(m, "undone")), "");
    expectSamePlanning(*reference.model, *undone.model);
    while (processor.canRedo())
        processor.redo();
    expectSamePlanning(*after.model, *m.model);
}

TEST(SamplePatient, DividePlanePartsTheLeftCanalFromTheRight)
{
    // The sample's canal, 12 mm up: its sides 28 mm either side of the midline and the front
    // half circle of radius 28 mm (volume millimetres are patient ones + 44.8 in x and y).
    std::vector<Vector3D> left;
    for (const double y : {0.0, 10.0, 20.0})
        left.emplace_back(-28.0, y, 12.0);
    for (const double degrees : {200.0, 225.0, 250.0})
        left.emplace_back(28.0 * std::cos(degrees * M_PI / 180.0), 28.0 * std::sin(degrees * M_PI / 180.0), 12.0);
    Session s;
    const auto parts = [&](std::vector<Vector3D> markers) {
        std::vector<std::shared_ptr<Marker>> list;
        for (const Vector3D& position : markers)
            list.push_back(Marker::create(position));
        s.model->setMarker(list);
        s.model->setMarkerDetected(true);
        s.model->calcNerveEnvironments();
        const auto nerve = s.model->getNerve();
        const Vector3D shift(44.8, 44.8, 0.175);
        const bool side = nerve->isAboveDividePlane(left[0] + shift);
        for (const Vector3D& p : left)
            if (nerve->isAboveDividePlane(p + shift) != side || nerve->isAboveDividePlane(Vector3D(-p.x, p.y, p.z) + shift) == side)
                return false;
        return true;
    };
    const std::vector<Vector3D> sample = sampleMarkers();
    ASSERT_EQ(sample.size(), 6u);
    EXPECT_TRUE(parts(sample));
    // However the holder is turned and tilted on the teeth, and the markers listed.
    Vector3D centre;
    for (const Vector3D& p : sample)
        centre = centre + p / 6.0;
    std::mt19937 random(3);
    std::uniform_real_distribution<double> turn(0.0, 2.0 * M_PI), tilt(-0.3, 0.3);
    for (int trial = 0; trial < 50; ++trial) {
        Matrix44<double> about, tiltX, tiltY;
        about.setRotation(Vector3D(0, 0, 1), turn(random));
        tiltX.setRotation(Vector3D(1, 0, 0), tilt(random));
        tiltY.setRotation(Vector3D(0, 1, 0), tilt(random));
        const Matrix44<double> motion = Matrix44<double>(centre) * tiltY * tiltX * about * Matrix44<double>(centre * -1.0);
        std::vector<Vector3D> moved;
        for (const Vector3D& p : sample)
            moved.push_back(motion * p);
        std::shuffle(moved.begin(), moved.end(), random);
        EXPECT_TRUE(parts(moved)) << "trial " << trial;
    }
}

TEST(PlanningWriterReader, FullDiskIsReportedAsSuchWithTheFile)
{
    Session s;
    const std::vector<std::string> all = filesIn(samplePatientFolder());
    makePlanning(s, std::vector<std::string>(all.begin(), all.begin() + 24));
    // A small disk of its own: a 1 MB memory file system (needs the right to mount).
    const std::string disk = s.dir.file("disk");
    fs::create_directories(disk);
    if (mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "cannot mount a small file system here";
    const std::string folder = disk + "/full";
    const std::string error = save(s, folder + "/full.srl", false);
    umount2(disk.c_str(), MNT_DETACH);
    EXPECT_EQ(error.rfind("The planning was not saved.\nThe disk is full: the new planning's dicom/", 0), 0u) << error;
    EXPECT_NE(error.find(" could not be written."), std::string::npos) << error;
}

// The disk fills at every stage of a save (series, implant files, surfaces, the planning file):
// a save that reports success reads back whole, any other is told as a full disk.
TEST(PlanningWriterReader, ASaveThatRunsOutOfDiskIsToldWhereverItStops)
{
    if (!SmallDisk::rerunInside(2 << 20))
        return;
    const std::vector<std::string> all = filesIn(samplePatientFolder());
    const std::vector<std::string> series(all.begin(), all.begin() + 3);
    std::uintmax_t size = 0;
    {
        Session s;
        makePlanning(s, series);
        ASSERT_EQ(save(s, planningFile(s, "whole"), false), "");
        for (const auto& entry : fs::recursive_directory_iterator(s.dir.file("patients/whole")))
            size += entry.is_regular_file() ? entry.file_size() : 0;
    }
    // Coarse through the series, then page by page through the small files at its end.
    std::vector<unsigned long long> frees{0, size / 4, size / 2, size * 3 / 4};
    for (unsigned long long free = size * 4 / 5; free < size * 11 / 10; free += 4096)
        frees.push_back(free);
    for (const unsigned long long free : frees) {
        SCOPED_TRACE(std::to_string(free) + " bytes free for a planning of " + std::to_string(size));
        // A saved planning becomes the Model's source: every save starts from a new session.
        Session s;
        makePlanning(s, series);
        fs::remove_all(SmallDisk::path() + "/patients");
        fs::remove(SmallDisk::path() + "/filler");
        const std::string folder = SmallDisk::path() + "/patients/p";
        fs::create_directories(folder);
        SmallDisk::leaveFree(free);
        const std::string error = save(s, folder + "/p.srl", false);
        if (error.empty()) {
            Session fresh;
            ASSERT_EQ(load(fresh, folder + "/p.srl"), "");
            expectSamePlanning(*s.model, *fresh.model);
        } else {
            // The file that did not fit; the folder itself when not even the save's mark did.
            const std::string told = "The planning was not saved.\nThe disk is full: the new planning";
            EXPECT_TRUE(error.rfind(told + "'s ", 0) == 0 ||
                        error == told + " folder in " + SmallDisk::path() + "/patients could not be written.")
                << error;
        }
        if (free == 0) {
            EXPECT_NE(error, "");
        }
    }
}
