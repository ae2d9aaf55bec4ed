// Fuzzes the job-file loader: any bytes must give a job whose order is valid or a clear error
// (an Exception), never a crash, a hang or a job with a broken graph.

#include "CM/Exceptions.h"
#include "JobFile.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace qz::tasksmith;
    try {
        JobSpec job = ParseJobXml(std::string_view(reinterpret_cast<const char*>(data), size),
                                  "/base", "fuzz.xml");
        // Every accepted graph must come with an order that runs dependencies first.
        std::vector<bool> done(job.tasks.size(), false);
        if (job.order.size() != job.tasks.size()) {
            std::abort();
        }
        for (int task : job.order) {
            for (int dep : job.tasks[static_cast<std::size_t>(task)].dependencies) {
                if (!done[static_cast<std::size_t>(dep)]) {
                    std::abort();
                }
            }
            done[static_cast<std::size_t>(task)] = true;
        }
    } catch (const qz::Exception& error) {
        if (dynamic_cast<const qz::EAssertionFailed*>(&error) != nullptr) {
            std::abort();
        }
    }
    return 0;
}
