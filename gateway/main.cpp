// gwlinkd entry point.
#include <cstdio>

int main(int argc, char **argv)
{
    (void)argc;
    std::printf("usage: %s --getconfig / --createconfig / --recover / --infinite / --upgblink\n", argv[0]);
    return 255;
}
