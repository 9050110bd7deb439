#pragma once
// The planning model: the volume and its DICOM data, the 3D jaw model, the registration
// markers, the jaw, the grey-value window, the panoramic line, the nerve, the implants, the
// three slice positioners, length measuring, the cross sections and the user state (a state
// machine: 0 initial, 1 normal input, 2 panoramic line, 3 implant placing, 4 nerve tracing,
// 5 after marker detection, 6 length measuring, 7 navigation). Observers are told of changes
// by `notify`; the Qt signal reset() by `resetAll`.
//
// Always held by shared pointer. GUI thread, except: worker jobs (planning load and save,
// DICOM import) read the planning, and a load or an import replaces it in one apply step under
// `changeLock`, while views may repaint. Whoever reads the panoramic line, the nerve, the
// implants or the markers while such a job may run holds `readLock` (the picking and
// cross-section queries below take it themselves), and so sees the old planning or the new
// one, never half of each. The data, the volume, the 3D model, the DICOM file list and the
// patient data are guarded on their own; state changes are serialised by one recursive mutex
// (the navigation timer runs the state machine too).
#include "planning/commands/IPanoramicLineOwner.h"
#include "planning/model/Constants.h"
#include "planning/model/ITargetingViewDataSource.h"
#include "vexa/core/StateMachine.h"
#include "vexa/core/Subject.h"
#include "vexa/math/Line3.h"
#include "vexa/math/Matrix44.h"
#include "vexa/math/Vector3.h"
#include "vexa/math/Vector4.h"

#include <QObject>
#include <QString>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <ostream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

class Implant;
class ImplantManager;
class TreatmentLog;
class INavigationController;
class Marker;
class Nerve;
class OrthoSlicePositioner;
class PanoramicLine;
class Settings;
class VolumeSlice;

namespace Vexa {
class DicomData;
class IndexedTriangleMesh;
class Slice;
template<class T> class VolumeData;
class VoxelHistogram;
}

class Model : public QObject,
              public Vexa::Subject,
              public StateMachine,
              public ITargetingViewDataSource,
              public IPanoramicLineOwner
{
    Q_OBJECT

public:
    enum UserState : unsigned
    {
        InitialState = 0,
        NormalInput = 1,
        PanoramicLineInput = 2,
        ImplantPlacing = 3,
        NerveTracing = 4,
        MarkerDetected = 5,
        LengthMeasuring = 6,
        Navigation = 7
    };

    enum MarkerDetectionMethode : int
    {
        NoMarkerDetection = 0,
        UserPlacedMarkers = 1,
        AutomaticMarkerDetection = 2
    };

    // Bits of `getElementsNearToPos` and `getElementsNearToLine`.
    enum ElementKind : unsigned
    {
        PanoramicLineElement = 1,
        TransversalSliceElement = 2,
        CoronalSliceElement = 4,
        SagittalSliceElement = 8,
        ImplantElement = 16,
        NerveElement = 32,
        MarkerElement = 128
    };

    // Distances of picking, in mm.
    static constexpr double panoramicLinePickDistance = 5.0;
    static constexpr double slicePickTolerance = 2.0; // a slice is near within half of it
    static constexpr double implantPickDistance = 10.0;
    static constexpr double markerPickDistance = 2.0;

    // The grey-value window of a model without data.
    static constexpr int defaultMinVoxelValue = 0;
    static constexpr int defaultMidVoxelValue = 2047;
    static constexpr int defaultMaxVoxelValue = 4095;

    // begin and end of the cross sections shown, and their count. The slices are made for
    // this answer and live as long as it (or a copy of `slices`) does.
    struct CrossSections
    {
        std::shared_ptr<const std::vector<std::shared_ptr<Vexa::Slice>>> slices;
        std::vector<std::shared_ptr<Vexa::Slice>>::const_iterator begin;
        std::vector<std::shared_ptr<Vexa::Slice>>::const_iterator end;
        unsigned count = 0;
    };

    using NavigationControllerFactory = std::function<std::shared_ptr<INavigationController>(Model&)>;
    // The factory every later Model builds its navigation controller with (empty: none).
    static void setNavigationControllerFactory(NavigationControllerFactory factory);
    static bool hasNavigationControllerFactory();

    // State 0, the panoramic line, the nerve, the implant manager, the three positioners and,
    // through the installed factory, the navigation controller.
    explicit Model(std::shared_ptr<Settings> settings);
    ~Model() override;

    std::shared_ptr<Settings> getSettings() const { return settings_; }
    virtual std::shared_ptr<INavigationController> getNavigationController() const { return navigation_; }
    std::shared_ptr<ImplantManager> getImplantManager() const { return implantManager_; }
    std::shared_ptr<PanoramicLine> getPanoramicLine() const override { return panoramicLine_; }
    std::shared_ptr<Nerve> getNerve() const { return nerve_; }
    std::shared_ptr<OrthoSlicePositioner> getTransversalSlicePositioner() const { return transversal_; }
    virtual std::shared_ptr<OrthoSlicePositioner> getCoronalSlicePositioner() { return coronal_; }
    virtual std::shared_ptr<OrthoSlicePositioner> getSagitalSlicePositioner() { return sagittal_; }

    // See the head of this file. Several read locks may be held at once, also by one thread;
    // the apply step waits for them and holds them off only while it replaces the planning.
    std::shared_lock<std::shared_mutex> readLock() const { return std::shared_lock(planningMutex_); }
    // The read lock if it can be had at once: a view that finds a planning being put in paints
    // again later instead of blocking the GUI.
    std::shared_lock<std::shared_mutex> tryReadLock() const
    {
        return std::shared_lock(planningMutex_, std::try_to_lock);
    }
    std::unique_lock<std::shared_mutex> changeLock() { return std::unique_lock(planningMutex_); }

    // User state.
    // Makes `state` the next state and processes the update event at once, so the state is
    // entered before this returns. A request for the current state only processes the update
    // (and withdraws a change requested before: the last request wins).
    void setStateAndUpdate(unsigned state);
    void setNormalInput();
    // Requests a change to `state` at the next update; the last request wins, and a request
    // for the current state withdraws an earlier one without leaving the state.
    void setNextState(int state);
    // Processes the update event (a pending state change takes effect), then tells observers.
    void notify() override;
    // Emits reset().
    void resetAll();

    // Data.
    std::shared_ptr<Vexa::DicomData> getData() const;
    std::shared_ptr<Vexa::VolumeData<unsigned short>> getVolumeData() const;
    // Takes the imported data; with a volume (a DicomVolume) also sets the panoramic line's
    // height, initialises the positioners, takes the source files as the DICOM file list,
    // sets the grey-value window from the voxels (unless the caller sets a stored one: a pass
    // over every voxel) and fills empty patient data from the header.
    void setData(std::shared_ptr<Vexa::DicomData> data, bool windowFromVolume = true);
    // The DICOM files of the planning (the planning writer points them at its copies).
    std::vector<std::string> getDicomFiles() const;
    void setDicomFiles(const std::vector<std::string>& files);
    std::shared_ptr<Vexa::IndexedTriangleMesh> get3DModel() const;
    void set3DModel(std::shared_ptr<Vexa::IndexedTriangleMesh> model);
    // Loaded from "Handpiece.sff" and "Drill.sff" in the meshes folder at construction; empty
    // when a file is missing, unreadable or holds no triangle.
    virtual std::shared_ptr<Vexa::IndexedTriangleMesh> getHandpieceMesh() const;
    virtual std::shared_ptr<Vexa::IndexedTriangleMesh> getDrillMesh() const;
    // The mesh of a digit; above 9 the mesh of 9. Always a mesh (a plain block when the
    // digit's file is missing).
    virtual std::shared_ptr<Vexa::IndexedTriangleMesh> getDigitMesh(unsigned digit);
    // Removes all planning data (not the user state, not the settings) and empties the
    // command history.
    virtual void clear();
    virtual bool hasChanged() const;
    virtual void clearChangedState();
    // Patient data: "name", "birthday" (YYYYMMDD), "id", "sex".
    std::map<std::string, std::string> getPatientData() const;
    void setPatientData(const std::map<std::string, std::string>& data);
    QString getPatientName() const override;
    void setCapturing(bool capturing) { capturing_ = capturing; }
    bool isCapturing() const { return capturing_; }

    // Jaw.
    Constants::Jaw getJaw() const { return jaw_; }
    virtual void setJaw(int jaw);
    // False when no markers are detected; else the jaw from the plane through the first three
    // markers (normal pointing up: mandible). Throws std::runtime_error when those three lie
    // on one line (they give no plane).
    bool determineJaw();

    // Markers.
    const std::vector<std::shared_ptr<Marker>>& getMarkers() const { return markers_; }
    // Replaces the list and resets the jaw.
    void setMarker(const std::vector<std::shared_ptr<Marker>>& markers);
    void addMarker(std::shared_ptr<Marker> marker);
    // The marker's index before removal; -1 when it was not in the list.
    int removeMarker(std::shared_ptr<Marker> marker);
    bool isMarkerDetected() const { return markerDetected_; }
    void setMarkerDetected(bool detected);
    MarkerDetectionMethode getMarkerDetectionMethode() const { return markerMethod_; }
    void setMarkerDetectionMethode(MarkerDetectionMethode method);
    // Only in state 5: the first marker within 2.0 mm of the point (or of the line).
    std::shared_ptr<Marker> getMarkerNear(const Vexa::Vector3D& point) const;
    std::shared_ptr<Marker> getMarkerNear(const Vexa::Line3<double>& line) const;
    void selectMarker(std::shared_ptr<Marker> marker);
    void setMarkerPosition(std::shared_ptr<Marker> marker, const Vexa::Vector3D& position);
    // The nerve's divide plane, which parts the jaw's left half from its right: the normal is
    // the patient's left-right axis (1, 0, 0), the plane runs through the detected markers'
    // centre (the holder sits centred on the arch; neither the markers' order nor how the
    // holder is turned matters), else through the volume centre.
    void calcNerveEnvironments();

    // Grey-value window (no notification).
    int getMinVoxelValue() const { return minVoxelValue_; }
    int getMidVoxelValue() const { return midVoxelValue_; }
    int getMaxVoxelValue() const { return maxVoxelValue_; }
    void setMinVoxelValue(int value) { minVoxelValue_ = value; }
    void setMidVoxelValue(int value) { midVoxelValue_ = value; }
    void setMaxVoxelValue(int value) { maxVoxelValue_ = value; }

    // Length measuring.
    int getMeasuringState() const { return measuringState_; }
    void setFirstMeasuringPoint(const Vexa::Vector3D& point);
    void setSecondMeasuringPoint(const Vexa::Vector3D& point);
    const Vexa::Vector3D& getFirstMeasuringPoint() const { return firstMeasuringPoint_; }
    const Vexa::Vector3D& getSecondMeasuringPoint() const { return secondMeasuringPoint_; }
    void resetMeasuringState();

    // Picking.
    unsigned getElementsNearToPos(const Vexa::Vector3D& position, unsigned mask) const;
    unsigned getElementsNearToLine(const Vexa::Line3<double>& line, unsigned mask) const;

    // The marker cross sections in state 5, else the implant cross sections; one per marker or
    // implant in list order, perpendicular to the panoramic line, 24 mm wide, from the line's
    // plane to the top of the volume; invalid when the object lies off the line.
    CrossSections getCrossSections();

    // ---- navigation: tracker poses, drill, warnings, treatment log ----------------------
    // Poses are camera-to-locator transforms from the navigation controller's tick. The planning
    // is registered to the patient locator by the rigid fit of the reference marker geometry
    // (taken to be in patient-locator coordinates) onto the markers, on entering navigation.
    virtual void enableNavigation();
    virtual void disableNavigation();
    virtual bool isReadyForNavigation() const;
    bool isNavigating() const override;
    // Stores the four values and runs the state machine's update (navigation logging and
    // warnings run only on this road, never on a plain notify).
    virtual void setTrackerData(bool handpieceValid, const Vexa::Matrix44<double>& handpieceTransform,
                                bool patientLocValid, const Vexa::Matrix44<double>& patientLocTransform);
    // The drill-origin-to-drill-tip transform; the drill length is its translation's length.
    // Not the identity: registered, and logged "REGISTERED <visualised length>".
    void registerDrill(const Vexa::Matrix44<double>& drillOriginTDrillTip);
    void invalidateDrillRegistration();
    void setDrillLength(double length);
    bool isDrillRegistered() const override;
    bool isHandpieceTrackerValid() const override;
    bool isPatientLocTrackerValid() const override;
    bool isLocatorRegistered() const;
    std::shared_ptr<Implant> getNearestImplantToDrill() const override;
    // The nearest implant (or null, outputs untouched), the drill tip's distance from it and the
    // angle between the drill and the implant (degrees).
    virtual std::shared_ptr<Implant> getDistanceAndAngleFromNearestImplantToDrill(double& distance,
                                                                                  double& angle) const;
    Vexa::Matrix44<double> getHandpieceLocTDrillOrigin() const;
    Vexa::Matrix44<double> getPatientTDrill() const override;
    virtual Vexa::Matrix44<double> getPatientTDrillOrigin() const;
    double getDrillLength() const override;
    double getVisualizedDrillLength() const override { return getDrillLength() + 2.6; }
    double getDrillDepthAtImplant(const Vexa::Matrix44<double>& implantTransform) const override;
    // Red without a valid handpiece or a registered drill; with a nearest implant green within
    // 1.0 mm and 5 degrees, else blue; otherwise grey.
    Vexa::Vector4<float> getHandpieceColor() const override;
    // Smallest distance of the drill tip from the nerve tube (mm); infinity without a nerve.
    double getNerveDistance() const;

    // Treatment log (see TreatmentLog).
    void logUserDefinedState();
    void logCalibrationStart(bool manually, Constants::Jaw jaw);
    // Labelled and filed by the calibration's own jaw.
    void logCalibration(const std::pair<double, double>& before, const std::pair<double, double>& during,
                        const std::pair<double, double>& after, Constants::Jaw jaw);
    void writeNavigationDataLogToStream(std::ostream& out);
    // The navigation's warnings and failures for the user, from any thread: queued to the GUI
    // thread; without an application object, to the debug output. Each is on the exception trail.
    static void reportNavigationFailures(const std::vector<std::string>& failures);
    // The same for what tells of something done (IPlanningUi::showNotice).
    static void reportNavigationNotices(const std::vector<std::string>& notices);
    static void reportNavigation(const std::vector<std::string>& texts, bool notices);
    // Whether the treatment log is still being put in its place or stored (another instance's
    // save of the planning may hold it up).
    bool isStoringTreatmentLog() const;
    // Returns once every treatment log handed over is stored, or kept beside the program where its
    // folder does not answer for some seconds; `waiting` hears what that waits for ("the save of
    // this planning by the computer X"), each time it changes. Never under the Model's lock.
    void waitForTreatmentLog(const std::function<void(const std::string&)>& waiting = {}) const;
    // From now on the treatment log waits for another instance's save no longer than until
    // `deadline`, all its looks together (quitting).
    void hurryTreatmentLog(std::chrono::steady_clock::time_point deadline) const;
    // Where the treatment log's journal has not taken its lines for some seconds (its folder does
    // not answer): that folder and since when (wall clock). Any thread; never waits for a file.
    std::optional<std::pair<std::string, std::time_t>> treatmentLogStall() const;
    // Makes the journals a program that ended without storing left (beside the program, in the
    // user's data folder, beside the last planning) into their logs; tells the user where each went.
    void recoverTreatmentLogs() const;
    // The same, with the "Log" folders of the plannings a start's walk met given (any thread): no
    // walk of its own. Once `stop` says so, what is left is left for the next start.
    void recoverTreatmentLogs(const std::vector<std::string>& planningLogFolders, const std::function<bool()>& stop = {}) const;
    // The "Log" folder of the planning loaded, if any (GUI thread).
    std::string loadedPlanningLogFolder() const;
    // The clock of the warning-sound pacing (tests install their own).
    void setNavigationClock(std::function<std::uint32_t()> clock);
    // ---- end navigation ----------------------------------------------------------------


signals:
    void reset();

protected:
    bool updateStates(StateMachine::Event event, int state) override;

private:
    std::shared_ptr<Vexa::Slice> makeCrossSection(const Vexa::Vector3D& position, double height) const;
    std::shared_ptr<Marker> markerNear(const Vexa::Vector3D& point) const;
    bool isNearSlice(const OrthoSlicePositioner& positioner, const Vexa::Vector3D& position) const;
    void loadDigitMeshes();
    void loadToolMeshes();
    // histogram: the voxels' histogram when it is known already (it is counted otherwise).
    void setWindowFromVolume(const Vexa::VolumeData<unsigned short>& volume,
                             const Vexa::VoxelHistogram* histogram = nullptr);

    std::shared_ptr<Settings> settings_;
    std::shared_ptr<INavigationController> navigation_;
    std::shared_ptr<ImplantManager> implantManager_;
    std::shared_ptr<PanoramicLine> panoramicLine_;
    std::shared_ptr<OrthoSlicePositioner> transversal_;
    std::shared_ptr<OrthoSlicePositioner> coronal_;
    std::shared_ptr<OrthoSlicePositioner> sagittal_;
    std::shared_ptr<Nerve> nerve_;

    mutable std::mutex dataMutex_; // data, volume, 3D model, DICOM files, patient data
    std::shared_ptr<Vexa::DicomData> data_;
    std::shared_ptr<Vexa::VolumeData<unsigned short>> volume_;
    std::shared_ptr<Vexa::IndexedTriangleMesh> model3D_;
    std::vector<std::string> dicomFiles_;
    std::map<std::string, std::string> patientData_;

    mutable std::shared_mutex planningMutex_;
    std::recursive_mutex stateMutex_;
    int requestedState_ = -1;   // the target of the pending change
    bool keepingState_ = false; // the change under way keeps the state
    std::array<std::shared_ptr<Vexa::IndexedTriangleMesh>, 10> digitMeshes_;
    std::shared_ptr<Vexa::IndexedTriangleMesh> handpieceMesh_;
    std::shared_ptr<Vexa::IndexedTriangleMesh> drillMesh_;

    std::vector<std::shared_ptr<Marker>> markers_;
    // Values the apply step of a load sets while views may read them.
    std::atomic<bool> markerDetected_ = false;
    std::atomic<MarkerDetectionMethode> markerMethod_ = NoMarkerDetection;
    std::atomic<Constants::Jaw> jaw_ = Constants::JawUndetermined;
    std::atomic<int> minVoxelValue_ = defaultMinVoxelValue;
    std::atomic<int> midVoxelValue_ = defaultMidVoxelValue;
    std::atomic<int> maxVoxelValue_ = defaultMaxVoxelValue;
    int measuringState_ = 0;
    Vexa::Vector3D firstMeasuringPoint_;
    Vexa::Vector3D secondMeasuringPoint_;
    bool capturing_ = false;
    std::atomic<bool> changed_ = false;

    // ---- navigation members ------------------------------------------------------------
    void resetNavigation();
    void startDataLogging();
    void logCurrentState();
    void storeDataLog();
    void checkNerveDistance();
    void checkDrillDepth();
    std::vector<std::shared_ptr<Implant>> implantList() const;

    mutable std::mutex navigationMutex_; // the values below that the displays read
    bool handpieceValid_ = false;
    bool patientLocValid_ = false;
    Vexa::Matrix44<double> cameraTHandpieceLoc_;
    Vexa::Matrix44<double> cameraTPatientLoc_;
    Vexa::Matrix44<double> drillOriginTDrillTip_;
    bool drillRegistered_ = false;
    double drillLength_ = 0.0;
    Vexa::Matrix44<double> patientTLocator_;
    bool locatorRegistered_ = false;
    std::unique_ptr<TreatmentLog> treatmentLog_; // under stateMutex_
    bool trackerTick_ = false;                   // under stateMutex_
    std::function<std::uint32_t()> navigationClock_;
    std::uint32_t lastNerveWarning_ = 0;
    std::uint32_t lastDepthWarning_ = 0;
    bool nerveWarned_ = false;
    bool depthWarned_ = false;
};
