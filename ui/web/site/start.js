// Starts the page's program (data-program) once the browser can run it. The page for the real
// device (data-needs-usb) needs WebUSB, which only Chrome and Edge offer, and only on a secure
// page (https://, or localhost): elsewhere it says so in one sentence and offers the demo.
"use strict";

(function () {
  const script = document.currentScript;
  const note = document.getElementById("kv-note");

  function tell(text) {
    note.textContent = text + " ";
    const demo = document.createElement("a");
    demo.href = "demo.html";
    demo.textContent = "Try the demo on a built-in device.";
    note.append(demo);
    note.hidden = false;
  }

  if (script.dataset.needsUsb !== undefined) {
    if (!window.isSecureContext) {
      tell(
        "This page was not opened from a secure address (https:// or localhost), so the browser " +
          "keeps USB devices from it: open it from one in Chrome or Edge, or use the Korvane " +
          "programs for Linux and Windows.",
      );
      return;
    }
    if (!("usb" in navigator)) {
      tell(
        "This browser does not offer WebUSB, which Korvane needs to reach the device: open this " +
          "page in Chrome or Edge, or use the Korvane programs for Linux and Windows.",
      );
      return;
    }
  }
  const program = document.createElement("script");
  program.src = script.dataset.program;
  program.addEventListener("error", () => {
    note.textContent = "Korvane could not be loaded: " + script.dataset.program + " is missing.";
    note.hidden = false;
  });
  document.body.append(program);
})();
