#pragma once

namespace engine {

// The console engine: options, banner, image, output folder, then the pipeline.
void engine_main(int argc, char** argv);

}  // namespace engine
