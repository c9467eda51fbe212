#include "main_body.hpp"
#include "std_streams.hpp"

int main(int argc, char** argv) {
    brindlemoor::init_std_streams();
    return brindlemoor::runtime_main(argc, argv);
}
