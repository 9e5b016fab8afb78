// displayFuncs: file choosers and the texts of direction and document codes.
#pragma once

#include <string>
#include <vector>

namespace warpmender {

class displayFuncs {
public:
    // Opens the host's chooser with the filter of fileType ("*.fmr" for 21) and
    // appends each chosen path; returns the number of names held afterwards.
    int getfilenames(const std::string& title, std::vector<std::string>& names, int fileType, bool single);
    const char* getPhaseEncodingDirString(int code) const;
    const char* getDocTypeString(int type) const;
    const char* getScale2RadString(int method) const;
};

}  // namespace warpmender
