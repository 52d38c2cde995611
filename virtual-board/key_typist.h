// The virtual operator: types keys into the program's keyboard input.
//
// Contract: PrepareKeyTypist checks, once, that keys can be typed with this
// configuration (on POSIX, VBOARD_KEY_FD must name an open descriptor when
// VBOARD_KEYS is set; on Windows it must not be set). TypeKeys types the
// characters and returns once they can be read by the program (or after a
// safety timeout), so that they are pending in its input when the driver call
// returns.
#ifndef QUENDAL_VIRTUAL_BOARD_KEY_TYPIST_H
#define QUENDAL_VIRTUAL_BOARD_KEY_TYPIST_H

#include <string>

#include "virtual-board/board_config.h"

bool PrepareKeyTypist(const BoardConfig& config, std::string* error);
bool TypeKeys(const BoardConfig& config, const std::string& keys);

#endif  // QUENDAL_VIRTUAL_BOARD_KEY_TYPIST_H
