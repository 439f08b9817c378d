#include "flash_cli.h"

int main(int argc, char **argv)
{
    return pelmoraFlashMain(argc, argv);
}
