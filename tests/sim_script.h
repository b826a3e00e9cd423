// sim_script.h - the backup tool's walk through the QTB's menus, the progress
// lines a run prints, and a reader of field paints, written from the device's
// side for the tests of the simulator and of the tool.
#ifndef SIM_SCRIPT_H
#define SIM_SCRIPT_H

#include <string>
#include <vector>

// The keys of a complete backup run, one letter each: L(eft), R(ight), U(p),
// D(own). 306 of them.
inline std::string backup_walk() {
    std::string keys = std::string(10, 'L') + std::string(10, 'D') + "UR" + std::string(10, 'D');
    for (int channel = 1; channel <= 8; ++channel) {
        keys += "R" + std::string(16, 'D') + std::string(15, 'U') + "LU";
    }
    return keys + "LL";
}

// The same walk as the key logs name the keys: "LEFT", "RIGHT", "UP", "DOWN".
inline std::vector<std::string> backup_walk_names() {
    std::vector<std::string> names;
    for (char key : backup_walk())
        names.push_back(key == 'L' ? "LEFT" : key == 'R' ? "RIGHT" : key == 'U' ? "UP" : "DOWN");
    return names;
}

// The progress lines a run prints for channels 1 to `channels`.
inline std::string progress_lines(int channels) {
    std::string s;
    for (int c = 1; c <= channels; ++c)
        s += "Retrieving channel " + std::to_string(c) + " configuration\n\r";
    return s;
}

// The terminal's bytes for one key letter.
inline std::string key_bytes(char key) {
    return std::string("\x1b[") + (key == 'U' ? 'A' : key == 'D' ? 'B' : key == 'R' ? 'C' : 'D');
}

// One field read off a paint as the tool reads it: the paint cut at ESC
// bytes into non-empty pieces, the first dropped, the label behind a
// 14-character prefix, each value behind the first "H" of its piece.
struct FieldRead {
    std::string label;
    std::string values; // run together
    int value_pieces = 0;
};

inline FieldRead read_field(const std::string &paint, int value_pieces) {
    std::vector<std::string> pieces;
    std::string piece;
    for (char c : paint + '\x1b') {
        if (c != '\x1b') {
            piece += c;
        } else if (!piece.empty()) {
            pieces.push_back(piece);
            piece.clear();
        }
    }
    FieldRead field;
    if (pieces.size() > 1) {
        field.label = pieces[1].size() > 14 ? pieces[1].substr(14) : "";
    }
    for (int k = 0; k < value_pieces && k + 2 < static_cast<int>(pieces.size()); ++k) {
        const std::string &p = pieces[static_cast<std::size_t>(k + 2)];
        std::size_t h = p.find('H');
        field.values +=
            h != std::string::npos ? p.substr(h + 1) : p.substr(p.size() > 7 ? 7 : p.size());
        field.value_pieces += 1;
    }
    return field;
}

#endif
