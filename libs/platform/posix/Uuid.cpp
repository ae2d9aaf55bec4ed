#include "platform/Uuid.h"

#include <uuid/uuid.h>

namespace qz::platform {

void GenerateRandomUuid(std::uint8_t (&bytes)[16]) {
    uuid_generate_random(bytes);
}

} // namespace qz::platform
