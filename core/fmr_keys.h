// The FMR text header: one table of its rows, read by the host side and written by both sides.
#pragma once

#include <string>

#include "hostlink/hostapi.h"

namespace warpmender {

// Every row of the FMR text in file order.
enum class FmrField {
    kFileVersion,
    kNrOfVolumes,
    kNrOfSlices,
    kNrOfSkippedVolumes,
    kPrefix,
    kDataStorageFormat,
    kDataType,
    kTR,
    kInterSliceTime,
    kTimeResolutionVerified,
    kTE,
    kSliceAcquisitionOrder,
    kSliceAcquisitionOrderVerified,
    kResolutionX,
    kResolutionY,
    kLoadAMRFile,
    kShowAMRFile,
    kImageIndex,
    kLayoutNColumns,
    kLayoutNRows,
    kLayoutZoomLevel,
    kSegmentSize,
    kSegmentOffset,
    kNrOfLinkedProtocols,
    kProtocolFile,
    kInplaneResolutionX,
    kInplaneResolutionY,
    kSliceThickness,
    kSliceGap,
    kVoxelResolutionVerified,
    // the position block
    kPosInfosVerified,
    kCoordinateSystem,
    kSlice1CenterX,
    kSlice1CenterY,
    kSlice1CenterZ,
    kSliceNCenterX,
    kSliceNCenterY,
    kSliceNCenterZ,
    kRowDirX,
    kRowDirY,
    kRowDirZ,
    kColDirX,
    kColDirY,
    kColDirZ,
    kNRows,
    kNCols,
    kFoVRows,
    kFoVCols,
    kPositionSliceThickness,
    kGapThickness,
    // after it
    kNrOfPastSpatialTransformations,
    kRadiologicalConvention,
    kFirstDataSourceFile,
};

enum class FmrKind {
    kWhole,   // an integer
    kNumber,  // a float, in the writer's own float format
    kQuoted,  // "text" ("<none>" when empty)
    kFixed,   // always the table's text
};

struct FmrKey {
    FmrField field;
    const char* name;  // as the reader looks it up: "NrOfVolumes"
    const char* row;   // what the writers put before the value, blank lines included
    FmrKind kind;
    const char* fixed;  // the value of a kFixed row
    bool position;      // in the position block
};

// The rows in file order; the name of a row in the position block is unique
// there ("SliceThickness" repeats in it, without its colon).
extern const FmrKey kFmrKeys[];
extern const int kFmrKeyCount;
const FmrKey& fmr_key(FmrField field);
const char* fmr_name(FmrField field);

// What varies between headers; everything else is fixed by the table.
struct FmrRecord {
    const FMR_Header* header = nullptr;
    const FMR_ScannerPosition_Header* position = nullptr;
    long long data_type = 2, tr = 0, inter_slice_time = 0;
    float slice_gap = 0.0f;
    bool has_prefix = false;  // false writes "<none>"
    std::string prefix;
    std::string amr = "<none>";
    std::string source;
};

// The FMR text of record. Each writer keeps its own float format:
//   the plug-in's writer: a text stream's default, 6 significant digits in
//     the C locale (1.5 -> "1.5", 2 -> "2", 0.1f -> "0.1"), byte for byte what
//     stored projects hold;
//   the host side: the shortest text that reads back as the same float
//     (0.1f -> "0.1", 1.0000001f -> "1.0000001"), so a round trip is exact.
std::string fmr_text(const FmrRecord& record, std::string (*float_text)(float));

}  // namespace warpmender
