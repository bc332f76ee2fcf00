// The browser's side of link/WebUsbLibrary.cpp: navigator.usb (WebUSB) behind a few awaitable
// operations that answer with numbers. Bundled into the program with --pre-js. Nothing here calls
// into the WebAssembly module: it only answers the module's own calls.
'use strict';

var KorvaneWebUsb = (function() {
  // Outcomes, numbered as in WebUsbLibrary.cpp.
  const TIMED_OUT = -1;
  const GONE = -2;
  const STALL = -3;
  const BABBLE = -4;
  const ACCESS_DENIED = -5;
  const BUSY = -6;
  const NO_PIPE = -7;
  const IO_ERROR = -8;
  const ABORTED = -9;
  const NOT_SUPPORTED = -10;
  const OTHER = -11;

  // How long a device stays open after its last pipe closed.
  const IDLE_CLOSE_MS = 1000;
  // How long a failed transfer waits to see whether the device has left: a device pulled out
  // during a transfer can fail it before the browser has told that it is gone.
  const GONE_CHECK_MS = 250;
  const GONE_CHECK_STEP_MS = 25;

  let devices = [];            // the instances of the last count
  const gone = new WeakSet();  // devices the browser said are disconnected
  const sessions = new Map();  // open device -> its session
  const sessionsById = new Map();
  const closing = new Map();  // device -> the promise of its closing
  let nextSessionId = 1;
  let listening = false;

  function usb() { return typeof navigator !== 'undefined' ? navigator.usb : undefined; }

  function listen() {
    if (listening || !usb()) {
      return;
    }
    listening = true;
    usb().addEventListener('disconnect', (event) => {
      gone.add(event.device);
      const session = sessions.get(event.device);
      if (session) {
        end(session, GONE);
      }
    });
  }

  function delay(ms) { return new Promise((resolve) => setTimeout(resolve, ms)); }

  // Takes a session out of use; its device is closed (which cancels pending transfers) unless it
  // has gone. Pipes that still name the session fail with `reason`.
  function end(session, reason) {
    if (session.ended) {
      return closing.get(session.device) || Promise.resolve();
    }
    session.ended = reason;
    clearTimeout(session.idleTimer);
    sessions.delete(session.device);
    const device = session.device;
    const done = (device.opened && !gone.has(device) ? device.close() : Promise.resolve())
                     .catch(() => {})
                     .then(() => {
                       if (closing.get(device) === done) {
                         closing.delete(device);
                       }
                     });
    closing.set(device, done);
    return done;
  }

  async function failure(error, device, claiming) {
    if (gone.has(device)) {
      return GONE;
    }
    switch (error && error.name) {
      case 'NotFoundError':
        return GONE;
      case 'SecurityError':
        return ACCESS_DENIED;
      case 'AbortError':
        return ABORTED;
      case 'NetworkError':
        for (let waited = 0; waited < GONE_CHECK_MS; waited += GONE_CHECK_STEP_MS) {
          await delay(GONE_CHECK_STEP_MS);
          if (gone.has(device)) {
            return GONE;
          }
        }
        return claiming ? BUSY : IO_ERROR;
      default:
        return OTHER;
    }
  }

  // The interface (and its alternate setting) that holds the endpoint in this direction.
  function findInterface(configuration, endpointNumber, direction) {
    for (const iface of configuration.interfaces) {
      const alternates = [iface.alternate, ...iface.alternates].filter(Boolean);
      for (const alternate of alternates) {
        const endpoint = alternate.endpoints.find(
            (e) => e.endpointNumber === endpointNumber && e.direction === direction,
        );
        if (endpoint) {
          return {iface: iface, alternate: alternate, endpoint: endpoint};
        }
      }
    }
    return null;
  }

  async function prepare(session, endpointNumber, direction) {
    const device = session.device;
    let step = 'open';
    try {
      if (!device.opened) {
        await device.open();
      }
      if (device.configuration === null) {
        step = 'configure';
        await device.selectConfiguration(1);
      }
      const found = findInterface(device.configuration, endpointNumber, direction);
      if (!found) {
        return NO_PIPE;
      }
      if (found.endpoint.type === 'isochronous') {
        return NOT_SUPPORTED;
      }
      const number = found.iface.interfaceNumber;
      if (!session.claimed.has(number)) {
        step = 'claim';
        await device.claimInterface(number);
        session.claimed.add(number);
        if (found.alternate.alternateSetting !== 0) {
          await device.selectAlternateInterface(number, found.alternate.alternateSetting);
        }
      }
      session.packetSize[direction + endpointNumber] = found.endpoint.packetSize || 64;
      return 0;
    } catch (error) {
      return failure(error, device, step === 'claim');
    }
  }

  // Settles with {result} or {error}, or with {timedOut} once `ms` have passed; then the session
  // is ended, which cancels the transfer.
  async function timed(session, transfer, ms) {
    let timer;
    const expired = new Promise((resolve) => {
      timer = setTimeout(() => resolve({timedOut: true}), ms);
    });
    const settled = transfer.then(
        (result) => ({result: result}),
        (error) => ({error: error}),
    );
    const outcome = await Promise.race([settled, expired]);
    clearTimeout(timer);
    if (outcome.timedOut) {
      await end(session, IO_ERROR);
    }
    return outcome;
  }

  function live(id) {
    const session = sessionsById.get(id);
    if (!session) {
      return {outcome: OTHER};
    }
    if (session.ended) {
      return {outcome: session.ended};
    }
    return {session: session};
  }

  async function clearStall(session, direction, endpointNumber) {
    try {
      await session.device.clearHalt(direction, endpointNumber);
    } catch (error) {
      // The next transfer tells whether the endpoint works again.
    }
  }

  return {
    // The granted, attached devices with this identity; with `offerChooser` and none of them
    // attached, the browser's chooser for the identity first.
    async count(vendorId, productId, offerChooser) {
      if (!usb()) {
        devices = [];
        return 0;
      }
      listen();
      let list = [];
      try {
        list = await usb().getDevices();
      } catch (error) {
        list = [];
      }
      list = list.filter(
          (d) => d.vendorId === vendorId && d.productId === productId && !gone.has(d),
      );
      if (list.length === 0 && offerChooser) {
        try {
          const chosen = await usb().requestDevice({
            filters: [{vendorId: vendorId, productId: productId}],
          });
          if (chosen && !gone.has(chosen)) {
            list = [chosen];
          }
        } catch (error) {
          // The user closed the chooser without picking a device.
        }
      }
      devices = list;
      return list.length;
    },

    // A session on device `instance` of the last count that can carry the endpoint in this
    // direction (0 out, 1 in): its number, or an outcome.
    async open(instance, endpointNumber, directionCode) {
      const device = devices[instance];
      if (!device) {
        return NO_PIPE;
      }
      if (gone.has(device)) {
        return GONE;
      }
      let session = sessions.get(device);
      if (!session) {
        if (closing.has(device)) {
          await closing.get(device);
        }
        session = sessions.get(device);
      }
      if (!session) {
        session = {
          id: nextSessionId++,
          device,
          users: 0,
          claimed: new Set(),
          packetSize: {},
          idleTimer: undefined,
          ended: 0,
        };
        sessions.set(device, session);
      }
      clearTimeout(session.idleTimer);
      session.users++;
      sessionsById.set(session.id, session);
      const direction = directionCode === 1 ? 'in' : 'out';
      const prepared = await prepare(session, endpointNumber, direction);
      if (prepared < 0) {
        this.release(session.id);
        if (prepared !== NO_PIPE && prepared !== NOT_SUPPORTED) {
          await end(session, prepared);
        }
        return prepared;
      }
      return session.id;
    },

    async transferOut(id, endpointNumber, bytes, timeoutMs) {
      const found = live(id);
      const session = found.session;
      if (!session) {
        return found.outcome;
      }
      const transfer = session.device.transferOut(endpointNumber, bytes);
      const done = await timed(session, transfer, timeoutMs);
      if (done.timedOut) {
        return TIMED_OUT;
      }
      if (done.error) {
        return failure(done.error, session.device, false);
      }
      if (done.result.status === 'stall') {
        await clearStall(session, 'out', endpointNumber);
        return STALL;
      }
      return done.result.bytesWritten;
    },

    // Reads whole packets: {outcome, bytes}, where outcome is the count received.
    async transferIn(id, endpointNumber, length, timeoutMs) {
      const found = live(id);
      const session = found.session;
      if (!session) {
        return {outcome: found.outcome};
      }
      const packet = session.packetSize['in' + endpointNumber] || 64;
      const asked = Math.max(1, Math.ceil(length / packet)) * packet;
      const transfer = session.device.transferIn(endpointNumber, asked);
      const done = await timed(session, transfer, timeoutMs);
      if (done.timedOut) {
        return {outcome: TIMED_OUT};
      }
      if (done.error) {
        return {outcome: await failure(done.error, session.device, false)};
      }
      if (done.result.status === 'stall') {
        await clearStall(session, 'in', endpointNumber);
        return {outcome: STALL};
      }
      if (done.result.status === 'babble') {
        return {outcome: BABBLE};
      }
      const view = done.result.data;
      const bytes =
          view ? new Uint8Array(view.buffer, view.byteOffset, view.byteLength) : new Uint8Array(0);
      return {outcome: bytes.length, bytes: bytes};
    },

    // One pipe of the session is closed; the device closes once it has been idle a while.
    release(id) {
      const session = sessionsById.get(id);
      if (!session) {
        return;
      }
      session.users = Math.max(0, session.users - 1);
      if (session.users === 0) {
        sessionsById.delete(id);
        if (!session.ended) {
          session.idleTimer = setTimeout(() => {
            if (session.users === 0) {
              end(session, OTHER);
            }
          }, IDLE_CLOSE_MS);
        }
      }
    },

    closeAll() {
      for (const session of Array.from(sessions.values())) {
        end(session, OTHER);
      }
    },
  };
})();
