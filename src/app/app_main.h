#pragma once

int pelmoraMain(int argc, char *argv[]);
