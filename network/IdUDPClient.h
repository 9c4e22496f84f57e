// The UDP client endpoint on BSD sockets.
#pragma once
