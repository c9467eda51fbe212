#include "result_stream.hpp"

#include "logging.hpp"
#include "std_streams.hpp"

namespace brindlemoor {

void exit_unless_written(std::string_view log_target, std::error_code error) {
    if (!error) return;
    logging::error(log_target, "Standard output cannot be written: {}", error.message());
    exit_process(1);
}

}  // namespace brindlemoor
