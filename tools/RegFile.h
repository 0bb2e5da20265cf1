// Reading and writing .reg files for the configuration branch.
#pragma once
