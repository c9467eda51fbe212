#include "std_streams.hpp"

int main() {
    brindlemoor::init_std_streams();
    return 0;
}
