#pragma once

// Offers both services and publishes on all five ports every 300 ms, forever.
void setup_test();
