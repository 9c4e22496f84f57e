// `status`: each board asked for its boot error, the query the transfers
// send after every block; nothing is burnt.
#pragma once

#include <string>
#include <vector>

#include "cli/UpdateBoards.h"

// One board's answer.
struct TBoardStatus {
    std::string board;
    bool answered = false;
    int bootError = 0;  // the answer's, or the first a frame of the board reported
    int result = 0;     // a non-zero result code a frame of the board reported
    double roundTripMs = 0;
    int strayFrames = 0;  // frames beyond the answer: its word is not the board's last
    std::string error;  // why the board could not be asked (its link, its lock): nothing was sent
};

// Asks every board of the plan; the network boards all at once.
std::vector<TBoardStatus> AskBoards(const TUpdatePlan& plan);

// Prints the answers: a table, or one JSON object a board with `json`.
void PrintStatus(const std::vector<TBoardStatus>& statuses, bool json);

// 0 when every board answered once, with boot error 0 and result 0; 3 when a
// board could not be asked (link failed); 1 otherwise.
int StatusExit(const std::vector<TBoardStatus>& statuses);
