// A stand-in for the browser's navigator.usb with one bootloader device behind it, injected into
// the page before its scripts run. The device answers the seven bootloader commands from its own
// flash (32 KiB, 0x000-0x7FF the resident bootloader) and data EEPROM (256 bytes), and records
// every request and reply. The test steers it through window.korvaneUsb: which packet to hold,
// to leave unanswered, or to be pulled out at.
(() => {
  const VENDOR = 0x04d8;
  const PRODUCT = 0xa5e2;
  const FLASH_SIZE = 0x8000;
  const BOOT_END = 0x800;

  function domError(name, message) {
    return new DOMException(message, name);
  }

  class Bootloader {
    constructor() {
      this.flash = new Uint8Array(FLASH_SIZE);
      this.eeprom = new Uint8Array(256);
      for (let a = 0; a < FLASH_SIZE; a++) {
        this.flash[a] = a < BOOT_END ? (a * 37 + 0x12) & 0x7f : 0x80 | (a & 0x3f);
      }
      this.eeprom.fill(0x5a);
      this.inBootloader = true;
    }

    // The reply to one request, or null for none.
    handle(request) {
      const command = request[0];
      const count = request[1];
      const address = request[2] | (request[3] << 8) | (request[4] << 16);
      const read = (memory) => {
        const n = Math.min(count, 59);
        const reply = new Uint8Array(5 + n);
        reply.set(request.subarray(0, 5));
        reply[1] = n;
        for (let k = 0; k < n; k++) {
          reply[5 + k] = address + k < memory.length ? memory[address + k] : 0;
        }
        return reply;
      };
      switch (command) {
        case 0x00:
          return Uint8Array.of(0x00, 2, 0x12, 1);
        case 0x01:
          return read(this.flash);
        case 0x04:
          return read(this.eeprom);
        case 0x03: {
          const first = address & ~63;
          for (let b = 0; b < count; b++) {
            const start = first + b * 64;
            if (start >= BOOT_END && start < FLASH_SIZE) {
              this.flash.fill(0xff, start, start + 64);
            }
          }
          return Uint8Array.of(command);
        }
        case 0x02:
        case 0x05: {
          const memory = command === 0x02 ? this.flash : this.eeprom;
          for (let i = 0; i < count; i++) {
            const at = address + i;
            if (command === 0x02 && (at < BOOT_END || at >= FLASH_SIZE)) {
              continue;
            }
            if (at < memory.length) {
              memory[at] = command === 0x02 ? memory[at] & request[5 + i] : request[5 + i];
            }
          }
          return Uint8Array.of(command);
        }
        case 0xff:
          this.inBootloader = false;
          return null;
        default:
          return null;
      }
    }
  }

  const bootloader = new Bootloader();
  const listeners = { connect: new Set(), disconnect: new Set() };

  const control = {
    bootloader,
    packets: [], // {request: number[], reply: number[] | null, at: ms}
    granted: false, // the user picked the device in the chooser
    chooserShown: 0,
    opens: 0,
    closes: 0,
    closedWhilePending: 0,
    delayMs: 0, // every transfer takes this long
    holdAt: -1, // the read of this packet waits until release()
    held: false,
    silentAt: -1, // the read of this packet is never answered
    pullAt: -1, // the device is pulled out during the read of this packet
    onPacket: null, // called with the index of every request the device receives
    device: null,
    release: null,
    hex(bytes) {
      return Array.from(bytes, (b) => b.toString(16).toUpperCase().padStart(2, "0")).join(" ");
    },
    // The packets as "REQUEST -> REPLY" lines.
    trace() {
      return control.packets.map(
        (p) =>
          control.hex(p.request) +
          " ->" +
          (p.reply && p.reply.length ? " " + control.hex(p.reply) : ""),
      );
    },
    pull() {
      const device = control.device;
      if (!device || device.gone) {
        return;
      }
      device.gone = true;
      device.failPending(domError("NotFoundError", "The device was disconnected."));
      const event = new Event("disconnect");
      event.device = device;
      listeners.disconnect.forEach((listener) => listener(event));
    },
  };

  class FakeDevice {
    constructor() {
      this.vendorId = VENDOR;
      this.productId = PRODUCT;
      this.productName = "Bootloader";
      this.serialNumber = "";
      this.opened = false;
      this.gone = false;
      this.claimed = new Set();
      this.pending = new Set(); // reject functions of transfers in flight
      this.reply = null;
      const endpoint = (direction) => ({
        endpointNumber: 1,
        direction,
        type: "bulk",
        packetSize: 64,
      });
      const alternate = {
        alternateSetting: 0,
        interfaceClass: 0xff,
        endpoints: [endpoint("out"), endpoint("in")],
      };
      this.configurations = [
        {
          configurationValue: 1,
          interfaces: [{ interfaceNumber: 0, alternate, alternates: [alternate], claimed: false }],
        },
      ];
      this.configuration = null;
    }

    check(needsClaim) {
      if (this.gone) {
        return Promise.reject(domError("NotFoundError", "The device was disconnected."));
      }
      if (!this.opened) {
        return Promise.reject(domError("InvalidStateError", "The device must be opened first."));
      }
      if (needsClaim && !this.claimed.has(0)) {
        return Promise.reject(domError("InvalidStateError", "The interface is not claimed."));
      }
      return null;
    }

    failPending(error) {
      this.pending.forEach((reject) => reject(error));
      this.pending.clear();
    }

    async open() {
      if (this.gone) {
        throw domError("NotFoundError", "The device was disconnected.");
      }
      control.opens++;
      this.opened = true;
    }

    async close() {
      if (this.pending.size > 0) {
        control.closedWhilePending++;
      }
      this.failPending(domError("AbortError", "The transfer was cancelled."));
      control.closes++;
      this.opened = false;
      this.claimed.clear();
      this.configuration = null;
    }

    async selectConfiguration(value) {
      const failed = this.check(false);
      if (failed) {
        return failed;
      }
      this.configuration = this.configurations.find((c) => c.configurationValue === value);
    }

    async claimInterface(number) {
      const failed = this.check(false);
      if (failed) {
        return failed;
      }
      this.claimed.add(number);
      this.configuration.interfaces[number].claimed = true;
    }

    async releaseInterface(number) {
      this.claimed.delete(number);
    }

    async selectAlternateInterface() {}

    async clearHalt() {}

    wait(resolveValue) {
      return new Promise((resolve, reject) => {
        this.pending.add(reject);
        const done = () => {
          if (this.pending.delete(reject)) {
            resolve(resolveValue());
          }
        };
        if (control.delayMs > 0) {
          setTimeout(done, control.delayMs);
        } else {
          Promise.resolve().then(done);
        }
      });
    }

    transferOut(endpointNumber, data) {
      const failed = this.check(true);
      if (failed) {
        return failed;
      }
      const request = new Uint8Array(
        data.buffer ? data.buffer.slice(data.byteOffset, data.byteOffset + data.byteLength) : data,
      );
      return this.wait(() => {
        const index = control.packets.length;
        control.packets.push({ request: Array.from(request), reply: null, at: performance.now() });
        if (control.onPacket) {
          control.onPacket(index);
        }
        this.reply = bootloader.inBootloader ? bootloader.handle(request) : null;
        this.index = index;
        return { status: "ok", bytesWritten: request.length };
      });
    }

    transferIn(endpointNumber, length) {
      const failed = this.check(true);
      if (failed) {
        return failed;
      }
      const index = this.index;
      const reply = this.reply;
      this.reply = null;
      if (index === control.pullAt) {
        setTimeout(() => control.pull(), 5);
      }
      if (index === control.silentAt || index === control.pullAt || !reply) {
        // A device with nothing to send never completes the read.
        return new Promise((resolve, reject) => this.pending.add(reject));
      }
      const answer = () => {
        const bytes = reply.subarray(0, Math.min(reply.length, length));
        control.packets[index].reply = Array.from(bytes);
        return {
          status: "ok",
          data: new DataView(bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.length)),
        };
      };
      if (index === control.holdAt) {
        return new Promise((resolve, reject) => {
          this.pending.add(reject);
          control.held = true;
          control.release = () => {
            control.held = false;
            if (this.pending.delete(reject)) {
              resolve(answer());
            }
          };
        });
      }
      return this.wait(answer);
    }
  }

  control.device = new FakeDevice();

  const usb = {
    async getDevices() {
      return control.granted && !control.device.gone ? [control.device] : [];
    },
    async requestDevice(options) {
      control.chooserShown++;
      const wanted = (options.filters || []).some(
        (f) => f.vendorId === VENDOR && f.productId === PRODUCT,
      );
      if (!wanted || control.device.gone) {
        throw domError("NotFoundError", "No device selected.");
      }
      control.granted = true;
      return control.device;
    },
    addEventListener(type, listener) {
      if (listeners[type]) {
        listeners[type].add(listener);
      }
    },
    removeEventListener(type, listener) {
      if (listeners[type]) {
        listeners[type].delete(listener);
      }
    },
  };

  Object.defineProperty(Navigator.prototype, "usb", { configurable: true, get: () => usb });
  window.korvaneUsb = control;
})();
