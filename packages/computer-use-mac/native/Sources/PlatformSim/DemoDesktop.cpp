#include "platformsim/Scenario.hpp"

namespace platformsim {

const char* demoDesktopJson() {
  return R"json({
  "permissions": {"accessibility": true, "screenRecording": true, "promptGrants": true},
  "displays": [{"id": 1, "width": 1440, "height": 900, "color": "#2E3440"}],
  "answerDelay": 0.02,
  "frontmost": "com.example.editor",
  "applications": [
    {
      "bundleIdentifier": "com.example.editor", "name": "Editor", "pid": 501,
      "windows": [{
        "number": 1001, "title": "Untitled", "frame": [100, 80, 800, 560], "key": true, "main": true,
        "actions": ["AXRaise"],
        "children": [
          {"id": "name-label", "role": "AXStaticText", "value": "Name:", "frame": [120, 130, 60, 28]},
          {"id": "name-field", "role": "AXTextField", "description": "Name", "value": "", "settable": true,
           "focused": true, "enabled": true, "frame": [190, 130, 330, 28], "actions": ["AXConfirm"]},
          {"id": "save-button", "role": "AXButton", "title": "Save", "enabled": true, "frame": [540, 130, 100, 28],
           "actions": ["AXPress"], "onPress": {"target": "status", "value": "Saved"}},
          {"id": "add-button", "role": "AXButton", "title": "Add one", "enabled": true, "frame": [660, 130, 120, 28],
           "actions": ["AXPress"], "onPress": {"target": "counter", "increment": 1}},
          {"id": "status", "role": "AXStaticText", "value": "Not saved", "frame": [120, 175, 300, 24]},
          {"id": "counter", "role": "AXStaticText", "value": 0, "description": "Count", "frame": [660, 175, 120, 24]},
          {"id": "list", "role": "AXScrollArea", "description": "Items", "value": 0, "scrollable": true,
           "frame": [120, 220, 760, 400], "children": [
            {"id": "list-content", "role": "AXList", "frame": [130, 230, 740, 380], "children": [
              {"id": "item-1", "role": "AXStaticText", "value": "First item", "frame": [140, 240, 300, 24]},
              {"id": "item-2", "role": "AXStaticText", "value": "Second item", "frame": [140, 270, 300, 24]},
              {"id": "item-3", "role": "AXStaticText", "value": "Third item", "frame": [140, 300, 300, 24]},
              {"id": "done-box", "role": "AXCheckBox", "title": "Done", "value": 0, "frame": [140, 340, 120, 24],
               "actions": ["AXPress"], "onPress": {"target": "done-box", "increment": 1}}
            ]}
          ]}
        ]
      }]
    },
    {
      "bundleIdentifier": "com.example.calculator", "name": "Calculator", "pid": 502,
      "windows": [{
        "number": 1002, "title": "Calculator", "frame": [950, 80, 240, 300], "key": true, "main": true,
        "children": [
          {"id": "display", "role": "AXStaticText", "value": "0", "frame": [960, 110, 220, 40]},
          {"id": "key-7", "role": "AXButton", "title": "7", "frame": [960, 160, 50, 40], "actions": ["AXPress"],
           "onPress": {"target": "display", "value": "7"}},
          {"id": "key-clear", "role": "AXButton", "title": "C", "frame": [1020, 160, 50, 40], "actions": ["AXPress"],
           "onPress": {"target": "display", "value": "0"}}
        ]
      }]
    },
    {
      "bundleIdentifier": "com.example.notes", "name": "Notes", "pid": 503, "running": false, "launchDelay": 0.3,
      "windows": [{
        "number": 1003, "title": "Notes", "frame": [300, 200, 500, 400], "key": true, "main": true,
        "children": [
          {"id": "note-text", "role": "AXTextArea", "value": "", "settable": true, "focused": true,
           "frame": [310, 230, 480, 360]}
        ]
      }]
    },
    {"bundleIdentifier": "com.example.helper-agent", "name": "Helper Agent", "pid": 504, "activationPolicy": "accessory"}
  ]
})json";
}

}  // namespace platformsim
