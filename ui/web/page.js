// The page's windows as DOM elements, for ui/web/Page.cpp. Bundled into the program with --pre-js.
// This is the toolkit, not the application: it draws what the C++ side asks for and queues each
// click, menu choice, close box and timer tick as an event for the C++ event loop, which hands it
// to the application's handler. Nothing here calls into the WebAssembly module.
"use strict";

var KorvanePage = (function () {
  const CONTROL = 1;
  const MENU = 2;
  const CLOSE = 3;
  const TIMER = 4;

  const LABEL = 0;
  const BUTTON = 1;
  const PROGRESS = 2;
  const PICTURE = 3;

  const VISIBLE = 1;
  const ENABLED = 2;
  const BOLD = 4;
  const LINK = 8;
  const NO_WRAP = 16;

  const queue = [];
  let wake = null;
  const windows = new Map(); // id -> window record
  const timersDue = new Set();
  let topZ = 10;
  let openMenu = null; // the menu record that is dropped down
  let channel = null;

  function desktop() {
    return document.getElementById("kv-desktop");
  }

  function post(window, kind, value) {
    queue.push([window, kind, value]);
    if (wake) {
      const resume = wake;
      wake = null;
      resume();
    }
  }

  function css(colour) {
    return `rgb(${colour & 255}, ${(colour >> 8) & 255}, ${(colour >> 16) & 255})`;
  }

  // Label texts end their lines in CR LF; a label shows the pair as one line break.
  function plain(text) {
    return text.replace(/\r\n/g, "\n");
  }

  function make(tag, className, attributes) {
    const element = document.createElement(tag);
    if (className) {
      element.className = className;
    }
    for (const name of Object.keys(attributes || {})) {
      element.setAttribute(name, attributes[name]);
    }
    return element;
  }

  function place(element, x, y, width, height) {
    element.style.left = x + "px";
    element.style.top = y + "px";
    element.style.width = width + "px";
    element.style.height = height + "px";
  }

  // ---- Windows --------------------------------------------------------------------------------

  function titleBar(record, caption, icon) {
    const bar = make("div", "kv-titlebar");
    if (icon) {
      bar.append(make("img", "kv-titleicon", { src: icon, alt: "", width: 16, height: 16 }));
    }
    const text = make("span", "kv-caption");
    text.textContent = caption;
    const close = make("button", "kv-closebox", {
      type: "button",
      "aria-label": "Close",
      tabindex: "-1",
    });
    close.textContent = "\u2715";
    close.addEventListener("click", () => post(record.id, CLOSE, 0));
    bar.append(text, close);
    // The title bar moves the window.
    bar.addEventListener("pointerdown", (event) => {
      if (event.button !== 0 || event.target === close) {
        return;
      }
      const startX = event.clientX - record.element.offsetLeft;
      const startY = event.clientY - record.element.offsetTop;
      bar.setPointerCapture(event.pointerId);
      const move = (e) => {
        record.element.style.left = e.clientX - startX + "px";
        record.element.style.top = Math.max(0, e.clientY - startY) + "px";
      };
      const stop = () => {
        bar.removeEventListener("pointermove", move);
        bar.removeEventListener("pointerup", stop);
        bar.removeEventListener("pointercancel", stop);
      };
      bar.addEventListener("pointermove", move);
      bar.addEventListener("pointerup", stop);
      bar.addEventListener("pointercancel", stop);
    });
    return bar;
  }

  function control(id, slot) {
    const record = windows.get(id);
    return record ? record.controls.get(slot) : undefined;
  }

  function raise(record) {
    record.element.style.zIndex = String(++topZ);
  }

  function activeWindow() {
    const focused = document.activeElement;
    for (const record of windows.values()) {
      if (record.shown && focused && record.element.contains(focused)) {
        return record;
      }
    }
    let top = null;
    for (const record of windows.values()) {
      const above = !top || Number(record.element.style.zIndex) > Number(top.element.style.zIndex);
      if (record.shown && above) {
        top = record;
      }
    }
    return top;
  }

  function boxes() {
    return Array.from(windows.values()).filter((record) => record.box);
  }

  // While a message box is open the windows behind it take no input.
  function updateModality() {
    const modal = boxes().length > 0;
    for (const record of windows.values()) {
      if (!record.box) {
        record.element.inert = modal;
      }
    }
  }

  // ---- Menus ----------------------------------------------------------------------------------

  function closeMenu(focusTop) {
    if (!openMenu) {
      return;
    }
    const menu = openMenu;
    openMenu = null;
    menu.list.hidden = true;
    menu.top.setAttribute("aria-expanded", "false");
    menu.top.classList.remove("kv-open");
    if (focusTop) {
      menu.top.focus();
    }
  }

  function dropDown(menu, focusFirst) {
    if (openMenu && openMenu !== menu) {
      closeMenu(false);
    }
    openMenu = menu;
    menu.list.hidden = false;
    menu.top.setAttribute("aria-expanded", "true");
    menu.top.classList.add("kv-open");
    if (focusFirst) {
      const first = items(menu)[0];
      if (first) {
        first.focus();
      }
    } else {
      menu.top.focus();
    }
  }

  function items(menu) {
    return Array.from(menu.list.querySelectorAll('[role^="menuitem"]'));
  }

  function tops(record) {
    return Array.from(record.menubar.querySelectorAll(":scope > .kv-menutop > [role=menuitem]"));
  }

  function moveAcross(record, from, step) {
    const all = tops(record);
    const next = all[(all.indexOf(from) + step + all.length) % all.length];
    for (const top of all) {
      top.tabIndex = top === next ? 0 : -1;
    }
    const menu = record.menus.find((m) => m.top === next);
    if (openMenu && menu) {
      dropDown(menu, true);
    } else {
      closeMenu(false);
      next.focus();
    }
  }

  function choose(record, command) {
    closeMenu(false);
    post(record.id, MENU, command);
  }

  function menuKeys(record, menu, event) {
    const list = items(menu);
    const at = list.indexOf(document.activeElement);
    switch (event.key) {
      case "ArrowDown":
        list[(at + 1) % list.length].focus();
        break;
      case "ArrowUp":
        list[(at - 1 + list.length) % list.length].focus();
        break;
      case "ArrowLeft":
        moveAcross(record, menu.top, -1);
        break;
      case "ArrowRight":
        moveAcross(record, menu.top, 1);
        break;
      case "Escape":
        closeMenu(true);
        break;
      case "Tab":
        closeMenu(false);
        return;
      default:
        return;
    }
    event.preventDefault();
    event.stopPropagation();
  }

  function topKeys(record, top, menu, event) {
    switch (event.key) {
      case "ArrowLeft":
        moveAcross(record, top, -1);
        break;
      case "ArrowRight":
        moveAcross(record, top, 1);
        break;
      case "ArrowDown":
      case "Enter":
      case " ":
        if (menu) {
          dropDown(menu, true);
        } else if (event.key !== "ArrowDown") {
          choose(record, Number(top.dataset.command));
        }
        break;
      case "Escape":
        closeMenu(true);
        break;
      default:
        return;
    }
    event.preventDefault();
    event.stopPropagation();
  }

  document.addEventListener("pointerdown", (event) => {
    if (openMenu && !openMenu.element.contains(event.target)) {
      closeMenu(false);
    }
  });

  // ---- Keys -----------------------------------------------------------------------------------

  document.addEventListener("keydown", (event) => {
    const open = boxes();
    if (open.length > 0) {
      const box = open[open.length - 1];
      if (event.key === "Escape") {
        event.preventDefault();
        post(box.id, CLOSE, 0);
      } else if (event.key === "Tab") {
        // The box's one button keeps the focus.
        event.preventDefault();
        box.ok.focus();
      }
      return;
    }
    const record = activeWindow();
    if (!record) {
      return;
    }
    if (event.ctrlKey && !event.altKey && !event.metaKey && !event.shiftKey) {
      const command = record.shortcuts.get(event.key.toLowerCase());
      if (command !== undefined) {
        event.preventDefault();
        closeMenu(false);
        post(record.id, MENU, command);
      }
      return;
    }
    const focused = document.activeElement;
    const onControl =
      focused && (focused.tagName === "BUTTON" || focused.getAttribute("role") === "link");
    if (event.key === "Escape" && record.cancelSlot >= 0) {
      event.preventDefault();
      post(record.id, CONTROL, record.cancelSlot);
    } else if (event.key === "Enter" && !onControl && record.defaultSlot >= 0) {
      event.preventDefault();
      post(record.id, CONTROL, record.defaultSlot);
    }
  });

  // ---- The operations of Page.cpp ---------------------------------------------------------------

  return {
    CONTROL,
    MENU,
    CLOSE,
    TIMER,

    // Resolves once an event is queued.
    nextEvent() {
      if (queue.length > 0) {
        return Promise.resolve();
      }
      return new Promise((resolve) => {
        wake = resolve;
      });
    },

    // The oldest queued event as [window, kind, value], or null.
    takeEvent() {
      const event = queue.shift() || null;
      if (event && event[1] === TIMER) {
        timersDue.delete(event[2]);
      }
      return event;
    },

    // One turn of the browser's event loop: a message to ourselves runs as a task of its own,
    // after the input and the painting that are due, and without the clamp of nested timers.
    yieldToBrowser() {
      if (!channel) {
        channel = new MessageChannel();
        channel.port1.start();
      }
      return new Promise((resolve) => {
        channel.port1.onmessage = () => resolve();
        channel.port2.postMessage(0);
      });
    },

    sleep(ms) {
      return new Promise((resolve) => setTimeout(resolve, ms));
    },

    // A tick every `ms`; a tick not yet taken is not queued twice.
    addTimer(id, ms) {
      setInterval(() => {
        if (!timersDue.has(id)) {
          timersDue.add(id);
          post(0, TIMER, id);
        }
      }, ms);
    },

    createWindow(id, caption, clientWidth, clientHeight, icon, dialogFrame) {
      const element = make("section", "kv-window", { role: "dialog", "aria-label": caption });
      if (dialogFrame) {
        element.classList.add("kv-dialogframe");
      }
      element.style.visibility = "hidden";
      const record = {
        id,
        element,
        controls: new Map(),
        menus: [],
        items: new Map(),
        shortcuts: new Map(),
        defaultSlot: -1,
        cancelSlot: -1,
        shown: false,
      };
      element.append(titleBar(record, caption, icon));
      element.addEventListener("focusin", (event) => {
        record.lastFocus = event.target;
      });
      record.client = make("div", "kv-client");
      record.client.style.width = clientWidth + "px";
      record.client.style.height = clientHeight + "px";
      element.append(record.client);
      windows.set(id, record);
      desktop().append(element);
      return record;
    },

    addMenuBar(id) {
      const record = windows.get(id);
      record.menubar = make("div", "kv-menubar", { role: "menubar" });
      record.element.insertBefore(record.menubar, record.client);
    },

    // A menu on the menu bar; its items follow with addMenuItem.
    addMenu(id, text) {
      const record = windows.get(id);
      const element = make("div", "kv-menutop");
      const top = make("div", "kv-menuname", {
        role: "menuitem",
        "aria-haspopup": "menu",
        "aria-expanded": "false",
        tabindex: record.menubar.children.length === 0 ? "0" : "-1",
      });
      top.textContent = text;
      const list = make("div", "kv-menu", { role: "menu", "aria-label": text });
      list.hidden = true;
      element.append(top, list);
      record.menubar.append(element);
      const menu = { element, top, list };
      record.menus.push(menu);
      top.addEventListener("click", () => {
        if (openMenu === menu) {
          closeMenu(false);
        } else {
          dropDown(menu, false);
        }
      });
      top.addEventListener("pointerenter", () => {
        if (openMenu && openMenu !== menu) {
          dropDown(menu, false);
        }
      });
      top.addEventListener("keydown", (event) => topKeys(record, top, menu, event));
      list.addEventListener("keydown", (event) => menuKeys(record, menu, event));
      return record.menus.length - 1;
    },

    // kind: 0 a command, 1 a check-mark item, 2 a separator.
    addMenuItem(id, menuIndex, command, text, kind, checked, shortcut) {
      const record = windows.get(id);
      const menu = record.menus[menuIndex];
      if (kind === 2) {
        menu.list.append(make("div", "kv-separator", { role: "separator" }));
        return;
      }
      const item = make("div", "kv-menuitem", {
        role: kind === 1 ? "menuitemcheckbox" : "menuitem",
        tabindex: "-1",
      });
      const mark = make("span", "kv-check", { "aria-hidden": "true" });
      const label = make("span", "kv-itemtext");
      label.textContent = text;
      item.append(mark, label);
      if (kind === 1) {
        item.setAttribute("aria-checked", checked ? "true" : "false");
        mark.textContent = checked ? "\u2713" : "";
      }
      if (shortcut) {
        item.setAttribute("aria-keyshortcuts", "Control+" + shortcut.toUpperCase());
        const hint = make("span", "kv-shortcut", { "aria-hidden": "true" });
        hint.textContent = "Ctrl+" + shortcut.toUpperCase();
        item.append(hint);
        record.shortcuts.set(shortcut.toLowerCase(), command);
      }
      const activate = () => choose(record, command);
      item.addEventListener("click", activate);
      item.addEventListener("keydown", (event) => {
        if (event.key === "Enter" || event.key === " ") {
          event.preventDefault();
          event.stopPropagation();
          activate();
        }
      });
      item.addEventListener("pointerenter", () => item.focus());
      menu.list.append(item);
      record.items.set(command, item);
    },

    // A command right on the menu bar, without a menu.
    addMenuCommand(id, command, text) {
      const record = windows.get(id);
      const element = make("div", "kv-menutop");
      const top = make("div", "kv-menuname", {
        role: "menuitem",
        tabindex: record.menubar.children.length === 0 ? "0" : "-1",
        "data-command": String(command),
      });
      top.textContent = text;
      element.append(top);
      record.menubar.append(element);
      top.addEventListener("click", () => choose(record, command));
      top.addEventListener("keydown", (event) => topKeys(record, top, null, event));
    },

    setChecked(id, command, checked) {
      const record = windows.get(id);
      const item = record && record.items.get(command);
      if (item) {
        item.setAttribute("aria-checked", checked ? "true" : "false");
        item.querySelector(".kv-check").textContent = checked ? "\u2713" : "";
      }
    },

    addControl(id, slot, kind, x, y, width, height, text, flags, colour, icon) {
      const record = windows.get(id);
      let element;
      if (kind === BUTTON) {
        element = make("button", "kv-button", { type: "button" });
        element.textContent = text;
        element.addEventListener("click", () => post(id, CONTROL, slot));
      } else if (kind === PROGRESS) {
        element = make("div", "kv-progress", {
          role: "progressbar",
          "aria-valuemin": "0",
          "aria-valuemax": "100",
          "aria-valuenow": "0",
        });
        element.append(make("div", "kv-progress-fill"));
      } else if (kind === PICTURE) {
        element = make("img", "kv-picture", { src: icon, alt: "" });
      } else {
        element = make("div", "kv-label");
        element.textContent = plain(text);
        if (flags & LINK) {
          element.setAttribute("role", "link");
          element.tabIndex = 0;
          element.classList.add("kv-link");
          element.addEventListener("click", () => post(id, CONTROL, slot));
          element.addEventListener("keydown", (event) => {
            if (event.key === "Enter") {
              event.preventDefault();
              post(id, CONTROL, slot);
            }
          });
        }
        if (flags & NO_WRAP) {
          element.classList.add("kv-nowrap");
        }
        element.style.color = css(colour);
        element.style.fontWeight = flags & BOLD ? "bold" : "normal";
      }
      place(element, x, y, width, height);
      element.hidden = !(flags & VISIBLE);
      if (kind === BUTTON) {
        element.disabled = !(flags & ENABLED);
      }
      record.client.append(element);
      record.controls.set(slot, element);
    },

    setText(id, slot, text) {
      const element = control(id, slot);
      if (element) {
        element.textContent = element.tagName === "BUTTON" ? text : plain(text);
      }
    },
    setColour(id, slot, colour) {
      const element = control(id, slot);
      if (element) {
        element.style.color = css(colour);
      }
    },
    setBold(id, slot, bold) {
      const element = control(id, slot);
      if (element) {
        element.style.fontWeight = bold ? "bold" : "normal";
      }
    },
    setEnabled(id, slot, enabled) {
      const element = control(id, slot);
      if (element && element.tagName === "BUTTON") {
        element.disabled = !enabled;
      }
    },
    setVisible(id, slot, visible) {
      const element = control(id, slot);
      if (element) {
        element.hidden = !visible;
      }
    },
    focus(id, slot) {
      const element = control(id, slot);
      if (element) {
        element.focus();
      }
    },
    setBarValue(id, slot, value) {
      const element = control(id, slot);
      if (element) {
        element.setAttribute("aria-valuenow", String(value));
        element.firstChild.style.width = value + "%";
      }
    },
    setBarColour(id, slot, colour) {
      const element = control(id, slot);
      if (element) {
        element.firstChild.style.setProperty("--kv-bar", css(colour));
      }
    },

    // Enter presses the default button where the focus is on no button; Esc the cancel button.
    setKeys(id, defaultSlot, cancelSlot) {
      const record = windows.get(id);
      record.defaultSlot = defaultSlot;
      record.cancelSlot = cancelSlot;
    },

    // A window that shows takes the keyboard focus when no other shown window has it: back to
    // the control that had it last, else its first button that can take it.
    show(id) {
      const record = windows.get(id);
      if (record) {
        record.shown = true;
        record.element.style.visibility = "";
        raise(record);
        const focused = document.activeElement;
        const owner = Array.from(windows.values()).find(
          (other) => other.shown && focused && other.element.contains(focused),
        );
        if (!owner) {
          const last = record.lastFocus;
          const buttons = Array.from(record.client.querySelectorAll("button"));
          const target =
            last && last.isConnected && !last.disabled && !last.hidden
              ? last
              : buttons.find((button) => !button.disabled && !button.hidden);
          if (target) {
            target.focus();
          }
        }
      }
    },
    hide(id) {
      const record = windows.get(id);
      if (record) {
        record.shown = false;
        record.element.style.visibility = "hidden";
        if (openMenu && record.element.contains(openMenu.element)) {
          closeMenu(false);
        }
      }
    },
    isVisible(id) {
      const record = windows.get(id);
      return record && record.shown ? 1 : 0;
    },
    geometry(id) {
      const record = windows.get(id);
      const element = record && record.element;
      return element
        ? [element.offsetLeft, element.offsetTop, element.offsetWidth, element.offsetHeight]
        : [0, 0, 0, 0];
    },
    // A window is kept on the page: never above or left of it.
    moveTo(id, x, y) {
      const record = windows.get(id);
      const element = record && record.element;
      if (element) {
        element.style.left = Math.max(0, x) + "px";
        element.style.top = Math.max(0, y) + "px";
      }
    },
    remove(id) {
      const record = windows.get(id);
      if (record) {
        if (openMenu && record.element.contains(openMenu.element)) {
          closeMenu(false);
        }
        record.element.remove();
        windows.delete(id);
        updateModality();
        // A message box gives the focus back to where it was.
        if (record.box && record.previousFocus && record.previousFocus.isConnected) {
          record.previousFocus.focus();
        }
      }
    },

    workArea() {
      const area = desktop();
      return [0, 0, area.clientWidth, area.clientHeight];
    },

    // A modal box: the text, one OK button; centred over its owner window, else the page.
    messageBox(id, ownerId, text, title, warning) {
      const element = make("section", "kv-window kv-msgbox", {
        role: "alertdialog",
        "aria-modal": "true",
        "aria-label": title,
        "aria-describedby": "kv-msg-" + id,
      });
      const record = {
        id,
        element,
        box: true,
        shown: true,
        controls: new Map(),
        shortcuts: new Map(),
        previousFocus: document.activeElement,
      };
      element.append(titleBar(record, title, ""));
      const body = make("div", "kv-msgbody");
      if (warning) {
        body.append(make("span", "kv-warning", { "aria-hidden": "true" }));
      }
      const message = make("p", "kv-msgtext", { id: "kv-msg-" + id });
      message.textContent = plain(text);
      body.append(message);
      const ok = make("button", "kv-button kv-msgok", { type: "button" });
      ok.textContent = "OK";
      ok.addEventListener("click", () => post(id, CONTROL, 0));
      record.ok = ok;
      const row = make("div", "kv-msgbuttons");
      row.append(ok);
      element.append(body, row);
      windows.set(id, record);
      desktop().append(element);
      raise(record);
      const owner = windows.get(ownerId);
      const area = owner && owner.shown ? owner.element : desktop();
      const over = owner && owner.shown;
      const x = (over ? area.offsetLeft : 0) + (area.offsetWidth - element.offsetWidth) / 2;
      const y = (over ? area.offsetTop : 0) + (area.offsetHeight - element.offsetHeight) / 2;
      element.style.left = Math.max(0, Math.round(x)) + "px";
      element.style.top = Math.max(0, Math.round(y)) + "px";
      updateModality();
      ok.focus();
    },

    // The browser's file chooser: {name, bytes} of the chosen file (at most `limit` bytes of
    // it), or null when the user cancels.
    async chooseFile(accept, limit) {
      // The browser shows the chooser only right after a click or a key press. A shortcut key
      // counts once it is let go: wait a moment for that.
      const activation = navigator.userActivation;
      for (let waited = 0; activation && !activation.isActive && waited < 1000; waited += 20) {
        await new Promise((resolve) => setTimeout(resolve, 20));
      }
      if (activation && !activation.isActive) {
        return null;
      }
      const input = make("input", "", { type: "file", accept });
      input.hidden = true;
      document.body.append(input);
      const file = await new Promise((resolve) => {
        input.addEventListener("change", () => resolve(input.files[0] || null), { once: true });
        input.addEventListener("cancel", () => resolve(null), { once: true });
        input.click();
      });
      input.remove();
      if (!file) {
        return null;
      }
      return { name: file.name, bytes: new Uint8Array(await file.slice(0, limit).arrayBuffer()) };
    },

    openAddress(address) {
      window.open(address, "_blank", "noopener,noreferrer");
    },

    // One application per page.
    claim() {
      if (globalThis.korvaneRunning) {
        return 0;
      }
      globalThis.korvaneRunning = true;
      return 1;
    },

    // Every window is gone: the application has ended.
    quit() {
      closeMenu(false);
      for (const record of windows.values()) {
        record.element.remove();
      }
      windows.clear();
      const note = document.getElementById("kv-ended");
      if (note) {
        note.hidden = false;
      }
    },
  };
})();
