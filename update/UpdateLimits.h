// How long the update waits for the radio module, and how often it wakes it.
//
// Every limit is in milliseconds of the platform clock (GetTickCount, Sleep)
// and counts from the start of the wait, which begins once the bytes that
// the module answers have been handed to the line. Each is the time the
// awaited exchange needs on the wire at 115200 bits per second (the bytes
// still on their way out and the answer coming back) plus a margin of
// seconds: a slow but working module is never cut off, while one that has
// stopped answering is given up on in seconds instead of never.
#ifndef UPDATELIMITS_H
#define UPDATELIMITS_H

// Milliseconds that n bytes need on the line: 10.5 bits a byte (start bit,
// 8 data bits, 1.5 stop bits) at 115200 bits per second, rounded up.
#define LINE_TIME(bytes) ((((bytes) * 35) + 383) / 384)

// The loader answers the first 0x55 after the module reset; a module
// needs well under a second to come out of its reset and the wake-up byte
// goes every 10 ms. Ten seconds leave room for a module that boots slowly
// (the emulated one listens for two seconds) and for a busy handset.
#define WAKE_UP_LIMIT (LINE_TIME(2) + 10000)

// Wake-up attempts, each with a module reset: the first one, and the new
// ones after an attempt without answer or a refused boot stage. A module
// that refuses one stage twice in a row still gets its third chance.
#define WAKE_UP_ATTEMPTS 5

// The boot stages are checked in the loader's RAM: their answers come as
// soon as the last byte is in. Ten seconds for a busy module and handset.
#define STAGE_MARGIN 10000
// Boot stage 1: the 186-byte frame out, 0xA5 back.
#define BOOT1_ANSWER_LIMIT (LINE_TIME(186 + 1) + STAGE_MARGIN)
// A full 1000-byte section of boot stage 2 out, 0xAA back.
#define BOOT2_SECTION_LIMIT (LINE_TIME(1000 + 1) + STAGE_MARGIN)
// The last 414-byte section and the check byte out, 0xA5 back.
#define BOOT2_ANSWER_LIMIT (LINE_TIME(414 + 1 + 1) + STAGE_MARGIN)

// From the memory check on the module works on its flash: it checks it,
// erases it (a whole 4 MiB chip can take tens of seconds), writes each
// section and finally checks the image. A minute covers a slow chip.
#define FLASH_MARGIN 60000
// 0x50 out, three bytes back (the last is 0xA5).
#define MEMORY_CHECK_LIMIT (LINE_TIME(1 + 3) + FLASH_MARGIN)
// 0x54 and the size record out, 0xA5 back; each of the three answers.
#define SIZE_RECORD_LIMIT (LINE_TIME(4 + 1) + FLASH_MARGIN)
// A full 4000-byte section of the image out, 0xAA back.
#define IMAGE_SECTION_LIMIT (LINE_TIME(4000 + 1) + FLASH_MARGIN)
// The last section and the two check bytes out, 0xA5 back.
#define FINAL_ANSWER_LIMIT (LINE_TIME(4000 + 2 + 1) + FLASH_MARGIN)

#endif  // UPDATELIMITS_H
