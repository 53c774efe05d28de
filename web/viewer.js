// The view of a result: two pictures at the same place with a split line
// between them (the left one shown left of the line), or one picture
// alone; zoomed to fit, or 1:1 up to 8:1 with the pixels kept sharp; moved
// by dragging. The split line stays where it is put on the screen while the
// pictures move under it.

const scales = [1, 2, 4, 8];
const mostFit = 8;

export class Viewer {
    // view: the element to fill; onzoom(mode) hears of every change of
    // zoom ('fit' or a scale).
    constructor(view, onzoom = () => {}) {
        this.view = view;
        this.onzoom = onzoom;
        this.stage = view.appendChild(document.createElement('div'));
        this.stage.className = 'stage';
        this.split = view.appendChild(document.createElement('div'));
        this.split.className = 'split';
        this.split.tabIndex = 0;
        this.split.setAttribute('role', 'slider');
        this.split.setAttribute('aria-label', 'split line: preview left, picture right');
        this.split.setAttribute('aria-valuemin', '0');
        this.split.setAttribute('aria-valuemax', '100');
        this.labels = ['left', 'right'].map((side) => {
            const label = view.appendChild(document.createElement('span'));
            label.className = `label ${side}`;
            return label;
        });
        this.layers = [];
        this.w = this.h = 0;
        this.mode = 'fit';
        this.scale = 1;
        this.x = this.y = 0;  // where the picture's top left corner is, in the view
        this.splitAt = 0.5;   // of the view's width

        this.listen();
        new ResizeObserver(() => this.place()).observe(view);
    }

    // Shows [{bitmap, label}]: one picture, or two with the split line. A
    // picture of the size of the last is shown at the same place and zoom,
    // so that one result can be set beside another.
    show(layers) {
        if (layers[0].bitmap.width !== this.w || layers[0].bitmap.height !== this.h) this.mode = 'fit';
        this.stage.replaceChildren();
        this.layers = layers.map(({ bitmap, label }) => {
            const canvas = this.stage.appendChild(document.createElement('canvas'));
            canvas.width = bitmap.width;
            canvas.height = bitmap.height;
            canvas.getContext('bitmaprenderer').transferFromImageBitmap(bitmap);
            canvas.setAttribute('aria-label', label);
            return canvas;
        });
        this.w = this.layers[0].width;
        this.h = this.layers[0].height;
        const two = layers.length === 2;
        this.split.hidden = !two;
        this.labels.forEach((l, i) => {
            l.hidden = !two;
            l.textContent = two ? layers[i].label : '';
        });
        // The first is drawn last, on top, cut at the line.
        if (two) this.stage.append(this.layers[0]);
        this.zoom(this.mode);
    }

    fitScale() {
        return Math.min(mostFit, this.view.clientWidth / this.w, this.view.clientHeight / this.h);
    }

    // 'fit' or a scale, about the point (cx, cy) of the view (its centre
    // by default).
    zoom(mode, cx = this.view.clientWidth / 2, cy = this.view.clientHeight / 2) {
        if (!this.w) return;
        const scale = mode === 'fit' ? this.fitScale() : mode;
        const px = (cx - this.x) / this.scale, py = (cy - this.y) / this.scale;
        this.mode = mode;
        this.scale = scale;
        this.x = cx - px * scale;
        this.y = cy - py * scale;
        this.place();
        this.onzoom(mode);
    }

    // The next scale in or out (+1 or -1) from the one shown.
    step(direction, cx, cy) {
        const fit = this.fitScale();
        const all = [...scales, fit].sort((a, b) => a - b);
        const next = direction > 0 ? all.find((s) => s > this.scale * 1.001) : all.reverse().find((s) => s < this.scale / 1.001);
        if (next !== undefined) this.zoom(next === fit ? 'fit' : next, cx, cy);
    }

    // Keeps the picture in the view (centred along a side it does not
    // fill) and draws.
    place() {
        if (!this.w) return;
        const vw = this.view.clientWidth, vh = this.view.clientHeight;
        if (this.mode === 'fit') this.scale = this.fitScale();
        const sw = this.w * this.scale, sh = this.h * this.scale;
        this.x = sw <= vw ? (vw - sw) / 2 : Math.min(0, Math.max(vw - sw, this.x));
        this.y = sh <= vh ? (vh - sh) / 2 : Math.min(0, Math.max(vh - sh, this.y));
        // Whole screen pixels: a fraction would blur every edge. The view
        // itself may start at a fraction of a pixel, when the text above
        // it has a height that is not whole.
        const box = this.view.getBoundingClientRect();
        const left = box.left + this.view.clientLeft, top = box.top + this.view.clientTop;
        this.x = Math.round(left + this.x) - left;
        this.y = Math.round(top + this.y) - top;
        this.stage.style.transform = `translate(${this.x}px, ${this.y}px) scale(${this.scale})`;
        this.stage.classList.toggle('sharp', this.scale >= 1);
        const line = Math.round(this.splitAt * vw);
        this.split.style.left = `${line}px`;
        this.split.setAttribute('aria-valuenow', String(Math.round(this.splitAt * 100)));
        if (this.layers.length === 2) {
            const hidden = Math.max(0, this.w - (line - this.x) / this.scale);
            this.layers[0].style.clipPath = `inset(0 ${hidden}px 0 0)`;
        }
    }

    moveSplit(at) {
        this.splitAt = Math.min(1, Math.max(0, at));
        this.place();
    }

    listen() {
        let drag = null;
        this.view.addEventListener('pointerdown', (event) => {
            if (event.button !== 0 || !this.w) return;
            const onSplit = this.split.contains(event.target);
            drag = { onSplit, x: event.clientX - this.x, y: event.clientY - this.y };
            this.view.setPointerCapture(event.pointerId);
            this.view.classList.add(onSplit ? 'splitting' : 'panning');
            event.preventDefault();
            (onSplit ? this.split : this.view).focus({ preventScroll: true });
        });
        this.view.addEventListener('pointermove', (event) => {
            if (!drag) return;
            if (drag.onSplit) {
                const box = this.view.getBoundingClientRect();
                this.moveSplit((event.clientX - box.left) / box.width);
            } else {
                this.x = event.clientX - drag.x;
                this.y = event.clientY - drag.y;
                this.place();
            }
        });
        const end = () => {
            drag = null;
            this.view.classList.remove('splitting', 'panning');
        };
        this.view.addEventListener('pointerup', end);
        this.view.addEventListener('pointercancel', end);
        this.view.addEventListener('wheel', (event) => {
            if (!this.w) return;
            event.preventDefault();
            const box = this.view.getBoundingClientRect();
            this.step(event.deltaY < 0 ? 1 : -1, event.clientX - box.left, event.clientY - box.top);
        }, { passive: false });
        this.view.addEventListener('dblclick', (event) => {
            const box = this.view.getBoundingClientRect();
            this.zoom(this.mode === 'fit' ? 1 : 'fit', event.clientX - box.left, event.clientY - box.top);
        });
        this.split.addEventListener('keydown', (event) => {
            const by = { ArrowLeft: -0.02, ArrowRight: 0.02, Home: -1, End: 1 }[event.key];
            if (by === undefined) return;
            event.preventDefault();
            event.stopPropagation();
            this.moveSplit(this.splitAt + by);
        });
        this.view.addEventListener('keydown', (event) => {
            const pan = { ArrowLeft: [1, 0], ArrowRight: [-1, 0], ArrowUp: [0, 1], ArrowDown: [0, -1] }[event.key];
            if (pan) {
                this.x += pan[0] * this.view.clientWidth / 4;
                this.y += pan[1] * this.view.clientHeight / 4;
                this.place();
            } else if (event.key === '+' || event.key === '=') this.step(1);
            else if (event.key === '-') this.step(-1);
            else if (event.key === '0') this.zoom('fit');
            else if (event.key === '1') this.zoom(1);
            else return;
            event.preventDefault();
        });
    }
}
