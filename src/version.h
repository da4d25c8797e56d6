// The program's version: one place for the window's version label and the resource file.
#pragma once

#define DRAVLIN_VERSION_MAJOR 1
#define DRAVLIN_VERSION_MINOR 0
#define DRAVLIN_VERSION_REVISION 7
#define DRAVLIN_VERSION_STRING "1.0.7"
