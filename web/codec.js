// The codec compiled to WebAssembly (gfx16.wasm, from gfx16_web.cpp), for
// the page's workers and for Node. The module needs no glue but the few
// functions it imports here.

export class OutOfMemory extends Error {
    constructor() {
        super('not enough memory');
    }
}

// Compiles gfx16.wasm from a URL (the page) or from its bytes (Node).
export async function compileCodec(source) {
    const bytes = source instanceof URL ? await (await fetch(source)).arrayBuffer() : source;
    return WebAssembly.compile(bytes);
}

export class Codec {
    constructor(module) {
        let outOfMemory = 0;
        const imports = {
            env: { emscripten_notify_memory_growth() {} },
            wasi_snapshot_preview1: {
                // exit() and abort() end here, and throw out of the module.
                proc_exit(status) {
                    throw status === outOfMemory ? new OutOfMemory() : new Error(`the codec stopped (status ${status})`);
                },
                // getenv() sees an empty environment: no variable (such as
                // GFX16_SIMD) to count or to copy.
                environ_sizes_get: (count, size) => {
                    new DataView(this.call.memory.buffer).setUint32(count, 0, true);
                    new DataView(this.call.memory.buffer).setUint32(size, 0, true);
                    return 0;
                },
                environ_get: () => 0,
            },
        };
        this.instance = new WebAssembly.Instance(module, imports);
        this.call = this.instance.exports;
        this.call._initialize();
        outOfMemory = this.call.web_start();
    }

    // Runs every long loop of the module on small pictures: the browser
    // compiles a function with its optimising compiler only once it has
    // run a while, and a call begun in the first, quick code stays in it to
    // its end. Unwarmed, each step of the first picture takes two to four
    // times as long as the next picture's. The compiled code serves every
    // later instance of the same module.
    warmUp() {
        this.call.web_warm_up(96, 64, 4);
    }

    // A view of `size` bytes of the module's memory at `pointer`, made anew
    // each time: the memory's buffer changes when it grows.
    bytes(pointer, size) {
        return new Uint8Array(this.call.memory.buffer, pointer, size);
    }

    // A copy that outlives the next call into the module.
    copy(pointer, size) {
        return this.bytes(pointer, size).slice();
    }

    text(pointer) {
        const memory = new Uint8Array(this.call.memory.buffer);
        let end = pointer;
        while (memory[end]) end++;
        return new TextDecoder().decode(memory.subarray(pointer, end));
    }

    // The reason a picture of w x h pixels is refused, or null.
    pictureRefused(w, h) {
        const reason = this.call.web_picture_refused(w, h);
        return reason ? this.text(reason) : null;
    }

    // The reason a carrier of w x h bytes is refused, or null.
    carrierRefused(w, h) {
        const reason = this.call.web_carrier_refused(w, h);
        return reason ? this.text(reason) : null;
    }

    // A quality number as gfx16conv prints it; which: 0 PSNR, 1 SSIM,
    // 2 CIEDE2000.
    numberText(value, which) {
        return this.text(this.call.web_number_text(value, which));
    }

    // The sentence for a codec status (GFX16_E...).
    strerror(status) {
        return this.text(this.call.web_strerror(status));
    }

    version() {
        return this.text(this.call.web_version());
    }

    // Why the last call that returned null refused.
    refusal() {
        return this.text(this.call.web_refusal());
    }

    carrierPalette() {
        return this.copy(this.call.web_carrier_palette(), 768);
    }
}
