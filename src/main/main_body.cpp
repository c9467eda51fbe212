#include "main_body.hpp"

#include <memory>
#include <utility>

#include "client/launcher.hpp"
#include "command_line/args.hpp"
#include "logging/logging.hpp"
#include "server/bouncer.hpp"
#include "shared/std_streams.hpp"

namespace brindlemoor {
namespace {

constexpr std::string_view kLogTarget = "brindlemoor";

}  // namespace

int runtime_main(int argc, char** argv) {
    std::unique_ptr<runtime::Runtime> rt = runtime::build_runtime_or_exit();
    main_body(argc, argv);
    rt.reset();
    return 0;
}

void main_body(int argc, char** argv) {
    Args args = Args::parse(argc, argv);
    logging::init_logging(args.output_mode);
    logging::debug(kLogTarget, "{}", args.dump());
    std::string address = resolve_target(args.server, std::move(args.target));

    std::vector<runtime::JoinHandle> handles;
    const std::uint64_t key = args.key;
    const std::uint64_t interval = args.interval;
    const std::uint64_t rate = args.rate;
    const std::uint16_t base_port = args.base_port;
    const std::uint16_t num_sessions = args.num_sessions;
    const bool no_probe = args.no_probe;
    const OutputMode output_mode = args.output_mode;
    if (args.server) {
        handles.push_back(runtime::spawn([listen_addr = std::move(address), tag = std::move(args.tag), key, interval,
                                          base_port, num_sessions, output_mode](runtime::TaskId) {
            return run_server(listen_addr, tag, key, interval, base_port, num_sessions, output_mode);
        }));
    } else {
        handles.push_back(runtime::spawn([target = std::move(address), tag = std::move(args.tag), key, interval, rate,
                                          base_port, num_sessions, no_probe, output_mode](runtime::TaskId) {
            return run_client(target, tag, key, interval, rate, base_port, num_sessions, no_probe, output_mode);
        }));
    }
    supervise_main_task(std::move(handles));
}

std::string resolve_target(bool server, std::optional<std::string> target) {
    if (target) return std::move(*target);
    if (server) return "0.0.0.0";
    logging::warn(kLogTarget, "Target must be specifed for client mode");
    exit_process(2);
}

void supervise_main_task(std::vector<runtime::JoinHandle> handles) {
    for (const runtime::JoinHandle& handle : handles) {
        const runtime::JoinOutcome outcome = handle.join_blocking();
        if (outcome.returned()) {
            logging::info(kLogTarget, "A main task closed");
        } else {
            logging::error(kLogTarget, "A main task panicked: {}", outcome.panic->to_string());
        }
    }
}

}  // namespace brindlemoor
