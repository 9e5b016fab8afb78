// Texts both sides of the protocol must agree on: parameter names, commands, and the log lines the host recognises.
#pragma once

namespace warpmender {
namespace protocol {

// --- parameters of the host's store --------------------------------------------------
constexpr const char* kCommand = "Command";
constexpr const char* kProcedure = "Procedure";
constexpr const char* kErrorNr = "ErrorNr";    // 0 success, -1 failure
constexpr const char* kErrorMsg = "ErrorMsg";  // set with ErrorNr -1
// "GetFiles" / "GetFile"
constexpr const char* kFileTypeId = "FileTypeId";
constexpr const char* kFileStage = "FileStage";
constexpr const char* kNrOfFiles = "NrOfFiles";
constexpr const char* kFileName = "FileName";
constexpr const char* kWrPhaseFile = "WrPhaseFile";
constexpr const char* kMagnFile = "MagnFile";
constexpr const char* kUnwrPhaseFile = "UnwrPhaseFile";
constexpr const char* kB0File = "B0File";
constexpr const char* kPixshiftFile = "PixshiftFile";
constexpr const char* kEPIFile = "EPIFile";
constexpr const char* kVMRFile = "VMRFile";
// "CreatePolarFile"
constexpr const char* kRealFile = "RealFile";
constexpr const char* kImagFile = "ImagFile";
// "Start"
constexpr const char* kPerformAllSteps = "PerformAllSteps";
constexpr const char* kUnwrappingMethod = "UnwrappingMethod";  // 0 relaxation, else multigrid
constexpr const char* kNrOfIterationsRelax = "NrOfIterationsRelax";
constexpr const char* kRegularisation = "Regularisation";
constexpr const char* kNrOfVCycles = "NrOfVCycles";
constexpr const char* kNrOfIterations = "NrOfIterations";
constexpr const char* kPhaseToRadians = "PhaseToRadians";
constexpr const char* kMaskLaplacian = "MaskLaplacian";
constexpr const char* kBandWidthPE = "BandWidthPE";    // Hz per voxel
constexpr const char* kEchoTimeDiff = "EchoTimeDiff";  // ms
constexpr const char* kPhaseEncodingDir = "PhaseEncodingDir";
constexpr const char* kApplyTwoPi = "ApplyTwoPi";
constexpr const char* kMapFieldmapToFunctional = "mapFieldmapToFunctional";
// Results handed back.
constexpr const char* kNameUndistortedFile = "NameUndistortedFile";
constexpr const char* kDifferenceImgName = "DifferenceImgName";

// --- commands and procedures -----------------------------------------------------------
constexpr const char* kGetFiles = "GetFiles";
constexpr const char* kStart = "Start";
constexpr const char* kGetFile = "GetFile";
constexpr const char* kEvaluate = "Evaluate";
constexpr const char* kCreatePolarFile = "CreatePolarFile";
constexpr const char* kUnwrap = "Unwrap";
constexpr const char* kComputeB0 = "ComputeB0";
constexpr const char* kComputePxshift = "ComputePxshift";
constexpr const char* kUndistort = "Undistort";

// --- log lines the host recognises --------------------------------------------------------
// A failed write of the plug-in's own writers shows only in the log: one of
// these fixed lines, usually followed by the writer's reason.
constexpr const char* kAmrWriteFailed = "Error while writing AMR file";
constexpr const char* kFmrIntWriteFailed = "Error while retrieving FMR data";
constexpr const char* kFmrFloatWriteFailed = "An error occurred while writing FMR/STC data.";
// Refused before writing: "Cannot save \"a.fmr\": the result holds no data."
constexpr const char* kCannotSave = "Cannot save";
// The writer's reason begins with one of these, then the quoted path:
// "cannot write \"out/a.amr\": No space left on device".
constexpr const char* kCannotCreate = "cannot create";
constexpr const char* kCannotWrite = "cannot write";
constexpr const char* kCannotReplace = "cannot replace";

// Lines that begin a step worth showing on a status line (the direction line
// continues with the direction).
constexpr const char* kStartedUnwrapping = "Started unwrapping procedure...";
constexpr const char* kUnwrappingViaRelaxation = "Unwrapping via relaxation...";
constexpr const char* kUnwrappingViaMultigrid = "Unwrapping via full multigrid...";
constexpr const char* kApplySmoothing = "Apply 3x3 smoothing kernel...";
constexpr const char* kComputeFieldInhomogeneity = "Compute field inhomogeneity...";
constexpr const char* kComputePixelShiftMap = "Compute pixel shift map...";
constexpr const char* kUndistortInDirection = "Undistort in direction:";
constexpr const char* kGetLaplacian = "Get Laplacian...";
constexpr const char* kSolve = "Solve...";

}  // namespace protocol
}  // namespace warpmender
