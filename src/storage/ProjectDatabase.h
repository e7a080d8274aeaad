#pragma once

// The project database: a project read from its file (ProjectReader), saved to it (ProjectWriter), and the
// template database every save starts from (ProjectTemplate).

#include "storage/ProjectReader.h"
#include "storage/ProjectTemplate.h"
#include "storage/ProjectWriter.h"
