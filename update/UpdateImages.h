// The radio module's images inside the program: their kinds and the
// lengths their senders send. The build checks every stored image against
// these lengths.
#ifndef UPDATEIMAGES_H
#define UPDATEIMAGES_H

#include <windows.h>

#define IMAGE_BOOT1 1
#define IMAGE_BOOT2 2
#define IMAGE_FILE_SIZE 3
#define IMAGE_FIRMWARE 4

#define BOOT1_LENGTH 184
#define BOOT2_LENGTH 7414
#define FILE_SIZE_LENGTH 3
#define FIRMWARE_LENGTH 2493720

const BYTE* LoadUpdateImage(DWORD kind);
// The words for the first image that an update sends and the program does
// not hold; NULL when it holds them all. Traces nothing.
LPCWSTR MissingUpdateImage(void);

#endif  // UPDATEIMAGES_H
