#pragma once

// Provokes each failure of the table and reports the ones not caught as expected; 0 when all were.
int checkFailures();
