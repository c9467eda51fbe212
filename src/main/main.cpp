#include "main_body.hpp"
#include "shared/std_streams.hpp"

int main(int argc, char** argv) {
    brindlemoor::init_std_streams();
    // Through exit_process, so that what is queued for the standard streams is written before the end.
    brindlemoor::exit_process(brindlemoor::runtime_main(argc, argv));
}
