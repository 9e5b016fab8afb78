// helperTools: output names, chooser filters, prompts and small numeric helpers.
#pragma once

#include <string>

namespace warpmender {

// Every text result is a new string owned by the caller; a null argument is
// treated like an empty text.
class helperTools {
public:
    virtual ~helperTools() = default;

    // Code of the name's last three characters ("a.fmr" -> 21); -1 when unknown.
    int getFileExtension(const char* name) const;
    // 21, true -> "*.fmr";  21, false -> ".fmr";  999, false -> "."
    std::string getFileExtension(int code, bool pattern) const;
    // "/data/run.2/scan" -> "/data/run";  "scan" -> "";  "" -> "''"
    std::string removeExtension(const char* name) const;
    // "dir/a.fmr", ".stc" -> "dir/a.stc"
    std::string exchangeExtension(const char* name, const char* ext) const;
    // "dir/a.fmr" + "_unwrapped" -> "dir/a_unwrapped.fmr";  "dir/a.FMR" + "_x" -> "dir/a_x."
    std::string createFileName(const char* name, const char* suffix) const;
    // "C:\data\run1.fmr", strip -> "run1";  "/run1.fmr", strip -> "/run1"
    // (the first character is never a separator); "" -> "".
    std::string getbasename(const char* path, bool stripext, bool dash) const;
    // "dir/sub/a.fmr" -> "dir/sub/";  "a.fmr" -> "-1"
    std::string getfilepath(const char* path) const;
    // "run", "dir/", false, 3 -> "dir/run3.stc"
    std::string createstcfilename(const char* stem, const char* dir, bool single, int number) const;
    std::string openInstr(const char* what) const;
    const char* getRepresentationDescription(int code) const;
    long getsysbyteorder() const { return 1; }
    // a - floor(a / b) * b, with b = 1e-12 when it is exactly 0.
    double modulo(double a, double b) const;
    // Logs "<title>: " and the nine values row by row through the plug-in log.
    void displayMatrix33(const float m[3][3], const char* title) const;
};

// Nearest integer, halves upwards: 2.5 -> 3, -2.5 -> -2, -2.6 -> -3.
int hsRound(double x);

// The process-wide instance through which the procedures form output names.
extern helperTools help;

}  // namespace warpmender
