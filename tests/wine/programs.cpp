// Lists the programs a Wine story runs against the loaded drivers: the zkctl
// lines right after its `pause`, which the harness (run_story.sh) runs as
// `wine zkctl.exe ...` while the stack driver waits for its unload.
//
//   zelkor-wine-programs STORY.scn
//
// For each such line: "step LINE EXIT COUNT", then its COUNT arguments one a
// line (EXIT: the exit code the story expects, exit=, 0 by default). Nothing
// for a story without a pause. Refused, with the line and exit status 1: a
// zkctl line anywhere else (the stack driver cannot run a program), a second
// pause, and user= other than admin (a program under Wine runs as the
// prefix's one user, an administrator).
#include <iostream>

#include "sim/scenario.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::cerr << "usage: zelkor-wine-programs STORY.scn\n";
        return 2;
    }
    scn::Scenario scenario;
    scn::ParseError error;
    if (!scn::LoadScenarioFile(argv[1], &scenario, &error)) {
        std::cerr << error.Message() << "\n";
        return 1;
    }
    auto refuse = [&](const scn::Step& step, const std::string& why) {
        std::cerr << argv[1] << ":" << step.line << ": " << why << "\n";
        return 1;
    };
    bool paused = false, programs = false;
    for (const scn::Step& step : scenario.steps) {
        if (step.command == "pause") {
            if (paused) return refuse(step, "a story pauses once: the stack driver's unload routine plays the rest");
            paused = programs = true;
            continue;
        }
        if (step.command != "zkctl") {
            programs = false;
            continue;
        }
        if (!programs) return refuse(step, "zkctl runs under Wine only in the lines right after the story's pause");
        if (step.Option("user", "admin") != "admin")
            return refuse(step, "a program under Wine runs as an administrator only (user=admin)");
        std::cout << "step " << step.line << " " << step.Option("exit", "0") << " " << step.args.size() << "\n";
        for (const std::string& arg : step.args)
            std::cout << arg << "\n";
    }
    return 0;
}
