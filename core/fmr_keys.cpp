// The rows of the FMR text header and the one writer of them.
#include "core/fmr_keys.h"

namespace warpmender {

using F = FmrField;
using K = FmrKind;

const FmrKey kFmrKeys[] = {
    {F::kFileVersion, "FileVersion", "\nFileVersion:\t\t\t\t\t  ", K::kFixed, "6", false},
    {F::kNrOfVolumes, "NrOfVolumes", "NrOfVolumes:\t\t\t\t\t  ", K::kWhole, nullptr, false},
    {F::kNrOfSlices, "NrOfSlices", "NrOfSlices:\t\t\t\t\t  ", K::kWhole, nullptr, false},
    {F::kNrOfSkippedVolumes, "NrOfSkippedVolumes", "NrOfSkippedVolumes:\t\t\t  ", K::kFixed, "0", false},
    {F::kPrefix, "Prefix", "Prefix:\t\t\t\t\t", K::kQuoted, nullptr, false},
    {F::kDataStorageFormat, "DataStorageFormat", "DataStorageFormat:             ", K::kFixed, "2", false},
    {F::kDataType, "DataType", "DataType:                      ", K::kWhole, nullptr, false},
    {F::kTR, "TR", "TR:\t\t\t\t\t\t\t  ", K::kWhole, nullptr, false},
    {F::kInterSliceTime, "InterSliceTime", "InterSliceTime:\t\t\t\t  ", K::kWhole, nullptr, false},
    {F::kTimeResolutionVerified, "TimeResolutionVerified", "TimeResolutionVerified:\t\t  ", K::kFixed, "0", false},
    {F::kTE, "TE", "TE:\t\t\t\t\t\t\t  ", K::kWhole, nullptr, false},
    {F::kSliceAcquisitionOrder, "SliceAcquisitionOrder", "SliceAcquisitionOrder:\t\t  ", K::kFixed, "5", false},
    {F::kSliceAcquisitionOrderVerified, "SliceAcquisitionOrderVerified", "SliceAcquisitionOrderVerified: ", K::kFixed,
     "0", false},
    {F::kResolutionX, "ResolutionX", "ResolutionX:\t\t\t\t\t  ", K::kWhole, nullptr, false},
    {F::kResolutionY, "ResolutionY", "ResolutionY:\t\t\t\t\t  ", K::kWhole, nullptr, false},
    {F::kLoadAMRFile, "LoadAMRFile", "LoadAMRFile:\t\t\t\t\t  ", K::kQuoted, nullptr, false},
    {F::kShowAMRFile, "ShowAMRFile", "ShowAMRFile:\t\t\t\t\t  ", K::kFixed, "0", false},
    {F::kImageIndex, "ImageIndex", "ImageIndex:\t\t\t\t\t  ", K::kFixed, "0", false},
    {F::kLayoutNColumns, "LayoutNColumns", "LayoutNColumns:\t\t\t\t  ", K::kFixed, "5", false},
    {F::kLayoutNRows, "LayoutNRows", "LayoutNRows:              \t  ", K::kFixed, "5", false},
    {F::kLayoutZoomLevel, "LayoutZoomLevel", "LayoutZoomLevel:          \t  ", K::kFixed, "5", false},
    {F::kSegmentSize, "SegmentSize", "SegmentSize:              \t  ", K::kFixed, "2", false},
    {F::kSegmentOffset, "SegmentOffset", "SegmentOffset:            \t  ", K::kFixed, "0", false},
    {F::kNrOfLinkedProtocols, "NrOfLinkedProtocols", "NrOfLinkedProtocols:      \t  ", K::kFixed, "1", false},
    {F::kProtocolFile, "ProtocolFile", "ProtocolFile: \t              ", K::kFixed, "\"<none>\"", false},
    {F::kInplaneResolutionX, "InplaneResolutionX", "InplaneResolutionX:    \t      ", K::kNumber, nullptr, false},
    {F::kInplaneResolutionY, "InplaneResolutionY", "InplaneResolutionY:       \t  ", K::kNumber, nullptr, false},
    {F::kSliceThickness, "SliceThickness", "SliceThickness:           \t  ", K::kNumber, nullptr, false},
    {F::kSliceGap, "SliceGap", "SliceGap:                 \t  ", K::kNumber, nullptr, false},
    {F::kVoxelResolutionVerified, "VoxelResolutionVerified", "VoxelResolutionVerified:  \t  ", K::kWhole, nullptr,
     false},
    {F::kPosInfosVerified, "PosInfosVerified",
     "\n\nPositionInformationFromImageHeaders\n\nPosInfosVerified: ", K::kWhole, nullptr, true},
    {F::kCoordinateSystem, "CoordinateSystem", "CoordinateSystem: ", K::kWhole, nullptr, true},
    {F::kSlice1CenterX, "Slice1CenterX", "Slice1CenterX:    ", K::kNumber, nullptr, true},
    {F::kSlice1CenterY, "Slice1CenterY", "Slice1CenterY:    ", K::kNumber, nullptr, true},
    {F::kSlice1CenterZ, "Slice1CenterZ", "Slice1CenterZ:    ", K::kNumber, nullptr, true},
    {F::kSliceNCenterX, "SliceNCenterX", "SliceNCenterX:    ", K::kNumber, nullptr, true},
    {F::kSliceNCenterY, "SliceNCenterY", "SliceNCenterY:    ", K::kNumber, nullptr, true},
    {F::kSliceNCenterZ, "SliceNCenterZ", "SliceNCenterZ:    ", K::kNumber, nullptr, true},
    {F::kRowDirX, "RowDirX", "RowDirX:          ", K::kNumber, nullptr, true},
    {F::kRowDirY, "RowDirY", "RowDirY:          ", K::kNumber, nullptr, true},
    {F::kRowDirZ, "RowDirZ", "RowDirZ:          ", K::kNumber, nullptr, true},
    {F::kColDirX, "ColDirX", "ColDirX:          ", K::kNumber, nullptr, true},
    {F::kColDirY, "ColDirY", "ColDirY:          ", K::kNumber, nullptr, true},
    {F::kColDirZ, "ColDirZ", "ColDirZ:          ", K::kNumber, nullptr, true},
    {F::kNRows, "NRows", "NRows:            ", K::kWhole, nullptr, true},
    {F::kNCols, "NCols", "NCols:            ", K::kWhole, nullptr, true},
    {F::kFoVRows, "FoVRows", "FoVRows:          ", K::kNumber, nullptr, true},
    {F::kFoVCols, "FoVCols", "FoVCols:          ", K::kNumber, nullptr, true},
    {F::kPositionSliceThickness, "SliceThickness", "SliceThickness    ", K::kNumber, nullptr, true},
    {F::kGapThickness, "GapThickness", "GapThickness      ", K::kNumber, nullptr, true},
    {F::kNrOfPastSpatialTransformations, "NrOfPastSpatialTransformations",
     "\n\nNrOfPastSpatialTransformations: ", K::kFixed, "0", false},
    {F::kRadiologicalConvention, "RadiologicalConvention", "\n\nRadiologicalConvention: ", K::kFixed, "YES", false},
    {F::kFirstDataSourceFile, "FirstDataSourceFile", "\n\nFirstDataSourceFile: ", K::kQuoted, nullptr, false},
};
const int kFmrKeyCount = static_cast<int>(sizeof kFmrKeys / sizeof kFmrKeys[0]);

const FmrKey& fmr_key(FmrField field) { return kFmrKeys[static_cast<int>(field)]; }
const char* fmr_name(FmrField field) { return fmr_key(field).name; }

namespace {

long long whole_of(const FmrRecord& r, FmrField f) {
    const FMR_Header& h = *r.header;
    const FMR_ScannerPosition_Header& p = *r.position;
    switch (f) {
        case F::kNrOfVolumes: return h.NrOfVolumes;
        case F::kNrOfSlices: return h.NrOfSlices;
        case F::kDataType: return r.data_type;
        case F::kTR: return r.tr;
        case F::kInterSliceTime: return r.inter_slice_time;
        case F::kTE: return h.TE;
        case F::kResolutionX: return h.ResolutionX;
        case F::kResolutionY: return h.ResolutionY;
        case F::kVoxelResolutionVerified: return h.VoxelResolutionVerified;
        case F::kPosInfosVerified: return p.PosInfosVerified;
        case F::kCoordinateSystem: return p.CoordinateSystem;
        case F::kNRows: return p.NRows;
        case F::kNCols: return p.NCols;
        default: return 0;
    }
}

float number_of(const FmrRecord& r, FmrField f) {
    const FMR_Header& h = *r.header;
    const FMR_ScannerPosition_Header& p = *r.position;
    switch (f) {
        case F::kInplaneResolutionX: return h.InplaneResolutionX;
        case F::kInplaneResolutionY: return h.InplaneResolutionY;
        case F::kSliceThickness: return h.SliceThickness;
        case F::kSliceGap: return r.slice_gap;
        case F::kSlice1CenterX: return p.Slice1CenterX;
        case F::kSlice1CenterY: return p.Slice1CenterY;
        case F::kSlice1CenterZ: return p.Slice1CenterZ;
        case F::kSliceNCenterX: return p.SliceNCenterX;
        case F::kSliceNCenterY: return p.SliceNCenterY;
        case F::kSliceNCenterZ: return p.SliceNCenterZ;
        case F::kRowDirX: return p.RowDirX;
        case F::kRowDirY: return p.RowDirY;
        case F::kRowDirZ: return p.RowDirZ;
        case F::kColDirX: return p.ColDirX;
        case F::kColDirY: return p.ColDirY;
        case F::kColDirZ: return p.ColDirZ;
        case F::kFoVRows: return p.FoVRows;
        case F::kFoVCols: return p.FoVCols;
        case F::kPositionSliceThickness: return p.SliceThickness;
        case F::kGapThickness: return p.GapThickness;
        default: return 0.0f;
    }
}

}  // namespace

std::string fmr_text(const FmrRecord& r, std::string (*float_text)(float)) {
    std::string t;
    for (const FmrKey& k : kFmrKeys) {
        t += k.row;
        switch (k.kind) {
            case K::kFixed: t += k.fixed; break;
            case K::kWhole: t += std::to_string(whole_of(r, k.field)); break;
            case K::kNumber: t += float_text(number_of(r, k.field)); break;
            case K::kQuoted:
                if (k.field == F::kPrefix)  // the two forms of the row align differently
                    t += r.has_prefix ? "  \t  \"" + r.prefix + "\"" : "\t  \"<none>\"";
                else if (k.field == F::kFirstDataSourceFile)
                    t += "\"" + r.source + "\"";
                else
                    t += "\"" + r.amr + "\"";
                break;
        }
        t += "\n";
    }
    return t;
}

}  // namespace warpmender
