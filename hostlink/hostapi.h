/* Host function interface and host record layouts shared by the plug-in and the host. */
#ifndef WARPMENDER_HOSTLINK_HOSTAPI_H
#define WARPMENDER_HOSTLINK_HOSTAPI_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The host fills these records in the machine's byte order; bytes not named
   here are carried through unchanged. Laid out by hand: offsets in columns. */
/* clang-format off */
typedef struct FMR_Header {
    char    FileName[304];
    int32_t NrOfVolumes;               /* 304 */
    int32_t ResolutionX;               /* 308: columns */
    int32_t ResolutionY;               /* 312: rows */
    int32_t NrOfSlices;                /* 316 */
    float   InplaneResolutionX;        /* 320 */
    float   InplaneResolutionY;        /* 324 */
    float   VoxelSizeZ;                /* 328 */
    float   SliceThickness;            /* 332 */
    float   SliceGap;                  /* 336 */
    int32_t VoxelResolutionVerified;   /* 340 */
    int32_t TE;                        /* 344 */
    int32_t TR;                        /* 348 */
    int32_t InterSliceTime;            /* 352 */
    int32_t DataType;                  /* 356: 1 uint16, 2 float32 */
    char    reserved360[8];
    char    Prefix[256];               /* 368 */
    char    reserved624[273];
    char    LoadAMRFile[263];          /* 897, to the end of the record */
} FMR_Header;

typedef struct FMR_ScannerPosition_Header {
    int32_t PosInfosVerified;
    int32_t CoordinateSystem;
    float   Slice1CenterX, Slice1CenterY, Slice1CenterZ;
    float   SliceNCenterX, SliceNCenterY, SliceNCenterZ;
    float   RowDirX, RowDirY, RowDirZ;
    float   ColDirX, ColDirY, ColDirZ;
    int32_t NRows, NCols;
    float   FoVRows, FoVCols;
    float   SliceThickness, GapThickness;
} FMR_ScannerPosition_Header;

typedef struct VMR_Header {
    char    FileName[304];
    int32_t DimX;                      /* 304 */
    int32_t DimY;                      /* 308 */
    int32_t DimZ;                      /* 312 */
    char    reserved316[16];
    float   VoxelSizeX;                /* 332 */
    float   VoxelSizeY;                /* 336 */
    float   VoxelSizeZ;                /* 340 */
    char    reserved344[24];
} VMR_Header;

typedef struct VMR_PastTransformations {
    int32_t count;
    float   matrices[157][4][4];       /* row-major, acting on column vectors */
    char    reserved[56];
} VMR_PastTransformations;

int   hsGetVersionOfNeurolatticeHS(int* major, int* minor, int* patch);
void  hsShowLogTab(void);
int   hsLogText(const char* text);
void  hsMessageBox(const char* text);
int   hsGetIntegerInput(const char* prompt, int defaultValue, int minimum, int maximum);
int   hsGetOpenFileName(const char* title, const char* defaultName, const char* filter, char* path);
int   hsGetSaveFileName(const char* title, const char* defaultName, const char* filter, char* path);
void  hsShowBusyCursor(void);
void  hsStopBusyCursor(void);
void  hsUpdateActiveWindow(void);
int   hsGetNumberOfDocsInWorkspace(void);
int   hsGetDocumentType(int index);
int   hsGetIDOfCurrentDocument(void);
int   hsSetAsCurrentDocument(int index);
int   hsGetHeaderOfCurrentFMR(FMR_Header* out);
int   hsSetHeaderOfCurrentFMR(const FMR_Header* in);
int   hsGetScannerPositionHeaderOfCurrentFMR(FMR_ScannerPosition_Header* out);
unsigned short** hsGetSTCIntDataOfCurrentFMR(void);
float**          hsGetSTCFloatDataOfCurrentFMR(void);
int   hsSaveFMRAndSTC(const char* fmrPath, const char* second);
int   hsGetMainHeaderOfCurrentVMR(VMR_Header* out);
unsigned char* hsGetCurrentVMR(int* dimX, int* dimY, int* dimZ);
int   hsGetScannerPositionHeaderOfCurrentVMR(FMR_ScannerPosition_Header* out);
int   hsGetPastTransformationsHeaderOfCurrentVMR(VMR_PastTransformations* out);
int   hsCalculateIAMatrix(const FMR_ScannerPosition_Header* fmr,
                          const FMR_ScannerPosition_Header* vmr,
                          const VMR_PastTransformations* past,
                          float fmrToVmr[4][4], float second[4][4],
                          float* tx, float* ty, float* tz, float* rx, float* ry, float* rz);
int   hsGetStringParameter(const char* name, char* out);
int   hsGetIntParameter(const char* name);
float hsGetFloatParameter(const char* name);
void  hsSetStringParameter(const char* name, const char* value);
void  hsSetIntParameter(const char* name, int value);
/* clang-format on */

#ifdef __cplusplus
} /* extern "C" */

static_assert(sizeof(FMR_Header) == 1160, "FMR_Header layout");
static_assert(offsetof(FMR_Header, FileName) == 0, "FMR_Header layout");
static_assert(offsetof(FMR_Header, NrOfVolumes) == 304, "FMR_Header layout");
static_assert(offsetof(FMR_Header, ResolutionX) == 308, "FMR_Header layout");
static_assert(offsetof(FMR_Header, ResolutionY) == 312, "FMR_Header layout");
static_assert(offsetof(FMR_Header, NrOfSlices) == 316, "FMR_Header layout");
static_assert(offsetof(FMR_Header, InplaneResolutionX) == 320, "FMR_Header layout");
static_assert(offsetof(FMR_Header, InplaneResolutionY) == 324, "FMR_Header layout");
static_assert(offsetof(FMR_Header, VoxelSizeZ) == 328, "FMR_Header layout");
static_assert(offsetof(FMR_Header, SliceThickness) == 332, "FMR_Header layout");
static_assert(offsetof(FMR_Header, VoxelResolutionVerified) == 340, "FMR_Header layout");
static_assert(offsetof(FMR_Header, TE) == 344, "FMR_Header layout");
static_assert(offsetof(FMR_Header, TR) == 348, "FMR_Header layout");
static_assert(offsetof(FMR_Header, InterSliceTime) == 352, "FMR_Header layout");
static_assert(offsetof(FMR_Header, DataType) == 356, "FMR_Header layout");
static_assert(offsetof(FMR_Header, Prefix) == 368, "FMR_Header layout");
static_assert(offsetof(FMR_Header, LoadAMRFile) == 897, "FMR_Header layout");

static_assert(sizeof(FMR_ScannerPosition_Header) == 80, "scanner-position layout");
static_assert(offsetof(FMR_ScannerPosition_Header, PosInfosVerified) == 0, "scanner-position layout");
static_assert(offsetof(FMR_ScannerPosition_Header, CoordinateSystem) == 4, "scanner-position layout");
static_assert(offsetof(FMR_ScannerPosition_Header, Slice1CenterX) == 8, "scanner-position layout");
static_assert(offsetof(FMR_ScannerPosition_Header, SliceNCenterX) == 20, "scanner-position layout");
static_assert(offsetof(FMR_ScannerPosition_Header, RowDirX) == 32, "scanner-position layout");
static_assert(offsetof(FMR_ScannerPosition_Header, ColDirX) == 44, "scanner-position layout");
static_assert(offsetof(FMR_ScannerPosition_Header, NRows) == 56, "scanner-position layout");
static_assert(offsetof(FMR_ScannerPosition_Header, NCols) == 60, "scanner-position layout");
static_assert(offsetof(FMR_ScannerPosition_Header, FoVRows) == 64, "scanner-position layout");
static_assert(offsetof(FMR_ScannerPosition_Header, FoVCols) == 68, "scanner-position layout");
static_assert(offsetof(FMR_ScannerPosition_Header, SliceThickness) == 72, "scanner-position layout");
static_assert(offsetof(FMR_ScannerPosition_Header, GapThickness) == 76, "scanner-position layout");

static_assert(sizeof(VMR_Header) == 368, "VMR_Header layout");
static_assert(offsetof(VMR_Header, DimX) == 304, "VMR_Header layout");
static_assert(offsetof(VMR_Header, DimY) == 308, "VMR_Header layout");
static_assert(offsetof(VMR_Header, DimZ) == 312, "VMR_Header layout");
static_assert(offsetof(VMR_Header, VoxelSizeX) == 332, "VMR_Header layout");
static_assert(offsetof(VMR_Header, VoxelSizeY) == 336, "VMR_Header layout");
static_assert(offsetof(VMR_Header, VoxelSizeZ) == 340, "VMR_Header layout");

static_assert(sizeof(VMR_PastTransformations) == 10108, "past-transformations layout");
static_assert(offsetof(VMR_PastTransformations, matrices) == 4, "past-transformations layout");
#endif

#endif
