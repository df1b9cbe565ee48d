#include "nchatd.h"

int main(int argc, char** argv)
{
    return nchatd_main(argc, argv);
}
