// Report files go through the one atomic writer of the code base.
#include "report/atomic_write.h"

#include "core/atomic_file.h"

namespace warpmender {
namespace report {

void write_file_atomically(const std::string& path, const std::string& content) {
    host::AtomicFile file(path);
    file.write(content);
    file.commit();
}

}  // namespace report
}  // namespace warpmender
