// Waits of the worker loops: a termination signal cuts them short, and once
// one has come no wait begins.
#pragma once

void pause_seconds(double seconds);
