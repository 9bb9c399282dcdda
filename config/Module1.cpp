#include "config/Module1.h"

namespace Module1 {

Settings& settings() {
    static Settings s;
    return s;
}

} // namespace Module1
