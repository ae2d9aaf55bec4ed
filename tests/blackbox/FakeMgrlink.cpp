// A stand-in for the manager-client library: healthy unless FAKE_MGRLINK_UNHEALTHY is set, and
// always hands back a text allocated with malloc, as the real library may.

#include <cstdlib>
#include <cstring>

extern "C" __attribute__((visibility("default"))) bool managerHealthCheck(char** text) {
    const char* reply = std::getenv("FAKE_MGRLINK_UNHEALTHY") ? "manager unreachable" : "fine";
    *text = static_cast<char*>(std::malloc(std::strlen(reply) + 1));
    std::strcpy(*text, reply);
    return std::getenv("FAKE_MGRLINK_UNHEALTHY") == nullptr;
}
