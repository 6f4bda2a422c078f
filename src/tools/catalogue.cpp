#include "tools/catalogue.h"

namespace tarnwick {

json tools_catalogue() { return json::array(); }

}  // namespace tarnwick
