// 3x3 filters, masks and the difference image (being written).
#include "fieldmap/filters.h"

namespace warpmender {
void getkernel(int, float k[3][3]) { for (int i = 0; i < 3; ++i) for (int j = 0; j < 3; ++j) k[i][j] = 0.0f; }
const char* getfiltername(int) { return "Filter"; }
bool filterdata(int, datahandler<double>*, bool) { return false; }
datahandler<double>* segmentdatahandlerobject(datahandler<double>*, double, double) { return nullptr; }
bool maskimage(datahandler<double>*, datahandler<double>*, double, double) { return false; }
bool diffimgfmrhs() { return false; }
}  // namespace warpmender
