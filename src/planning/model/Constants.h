#pragma once
// Numbers and names of the planning that several subsystems share, so that each literal
// exists once.

namespace Constants {

// The jaw a planning is made for.
enum Jaw : int
{
    JawUndetermined = 0,
    Maxilla = 1,
    Mandible = 2
};

// How the program was started: normally, or by the test tool.
enum ExecMode : int
{
    NormalMode = 0,
    TestMode = 1
};

// Width of one cross section in mm; the Model builds them this wide and the cross-sectional
// view sizes itself by it.
inline constexpr double crossSectionWidth = 24.0;

// Folders below the application folder or a patient folder (with their trailing "/").
inline constexpr const char* imagesFolder = "Data/Images/";
inline constexpr const char* soundsFolder = "Data/Sounds/";
inline constexpr const char* meshesFolder = "Data/Meshes/";
inline constexpr const char* implantDatabaseFolder = "ImplantDatabase/";
inline constexpr const char* logFolder = "Log/";
inline constexpr const char* systemFolder = "System/";
inline constexpr const char* studyDummyFolder = "MorvantaStudyDummy/";

// File names.
inline constexpr const char* settingsFile = "Morvanta.ini";
inline constexpr const char* planningExtension = ".srl";
inline constexpr const char* stackTraceFile = "stacktrace.log";
inline constexpr const char* studyDummyFile = "MorvantaStudyDummy.srl";

}
