(function () {
  'use strict';
  var LIBRARY = 'mermaid-library';
  var graph = document.querySelector('.graph');
  if (!graph) return;
  var askButton = document.getElementById('graph-draw');
  // A large graph waits for its button; a small one is drawn once the library is there.
  var wanted = !askButton;
  var library = 'waiting';

  // Once a graph is drawn. The page's own drawing gives each box its
  // pictures as it puts it down; what the library drew is given them here.
  var settled = function () {
    if (askButton && askButton.parentElement) askButton.parentElement.hidden = true;
    var late = graph.querySelector('.gnote');
    if (late) late.parentElement.removeChild(late);
    if (typeof window.quarryPaper === 'function') window.quarryPaper();
  };
  var never = function () { return false; };
  // A drawn graph is a map, whoever drew it; its cards are linked to their
  // boxes in a task of their own.
  var mapped = function (drawing, show, stopped) {
    graph.removeAttribute('data-ask');
    settled();
    afterPaint(function () { if (!stopped()) cardLinks(drawing, show, stopped); });
  };
  var drawn = function (source) {
    if (typeof window.quarryAssets === 'function') window.quarryAssets();
    // A drawing that cannot be made a map still stands as drawn.
    var drawing = null;
    try { drawing = asMap(source); } catch (e) { drawing = null; }
    if (drawing) mapped(drawing.drawing, drawing.show, never); else settled();
  };

  // What the library drew is put in a map's box of its size, in the same
  // font and spacing it was drawn in, and opens on its first screen.
  function asMap(source) {
    var svg = source.querySelector('svg');
    var view = svg && svg.viewBox && svg.viewBox.baseVal;
    if (!view || !view.width || !view.height) return null;
    var drawing = document.createElement('div'), size = { width: view.width, height: view.height };
    drawing.className = 'gsheets';
    drawing.style.font = 'inherit';
    drawing.style.whiteSpace = 'inherit';
    drawing.style.width = size.width + 'px';
    drawing.style.height = size.height + 'px';
    drawing.style.setProperty('--ratio', size.width / size.height);
    svg.parentNode.insertBefore(drawing, svg);
    drawing.appendChild(svg);
    svg.removeAttribute('width');
    svg.removeAttribute('height');
    svg.style.maxWidth = '';
    var show = viewport(drawing, size), first = null;
    drawing.querySelectorAll('g.node').forEach(function (node) {
      var r = node.getBoundingClientRect();
      if (!first || r.top < first.top - 0.5 || Math.abs(r.top - first.top) <= 0.5 && r.left < first.left) first = r;
    });
    if (first) graph.scrollLeft += first.left + first.width / 2 - (graph.getBoundingClientRect().left + graph.clientWidth / 2);
    return { drawing: drawing, show: show };
  }

  // Set as soon as the library has run: left alone, it would draw every
  // graph itself at the load event, in its own colours, large ones too.
  function configure() {
    var rootStyle = getComputedStyle(document.documentElement);
    var token = function (name) { return rootStyle.getPropertyValue(name).trim(); };
    mermaid.initialize({
      startOnLoad: false,
      theme: 'base',
      securityLevel: 'strict',
      // Large plans (hundreds of screens, thousands of moves) must still draw.
      maxTextSize: 4000000,
      maxEdges: 20000,
      themeVariables: {
        fontFamily: getComputedStyle(document.body).fontFamily,
        fontSize: '14px',
        background: token('--surface'),
        primaryColor: token('--bg'),
        primaryTextColor: token('--fg'),
        primaryBorderColor: token('--line'),
        lineColor: token('--muted'),
        textColor: token('--fg'),
        edgeLabelBackground: token('--surface'),
        tertiaryColor: token('--surface')
      },
      flowchart: {
        htmlLabels: true,
        useMaxWidth: false,
        curve: 'basis',
        nodeSpacing: 30,
        rankSpacing: 38,
        padding: 10
      }
    });
  }

  // The library reads syntax of its own in any text it is given (entities
  // of its own, formulas, icons, line breaks), and a picture's path in a
  // label came out of it as another path. So it lays out shapes only: each
  // label it is given is a stand-in of the label's size, made here of
  // nothing from the plan (the boxes' ids are letters, digits and "_"), and
  // once it has drawn, each label's words (as text) and picture (as the
  // page's own element) take their stand-in's place.
  function draw() {
    var source = graph.querySelector('pre.mermaid');
    if (!source) return;
    var text = source.textContent, read = readGraph(text), labels = measureLabels(source, read);
    source.textContent = standInSource(read, labels);
    var failed = function () {
      source.textContent = text;
      source.removeAttribute('data-processed');
      explain();
    };
    // The library's drawing is a task of its own: with the measuring, it
    // would hold a phone twice as long.
    setTimeout(function () {
      var drawing;
      try {
        drawing = mermaid.run({ nodes: [source] });
      } catch (e) {
        failed();
        return;
      }
      Promise.resolve(drawing).then(function () {
        try {
          writeLabels(source, read, labels);
        } catch (e) {
          failed();
          return;
        }
        drawn(source);
      }, failed);
    }, 0);
  }

  // Each label as the library holds it: in an inline block that does not
  // wrap, in the drawing's font and size, measured in the graph's box.
  function measureLabels(source, read) {
    var labels = { holders: [], nodes: [], moves: [], moveSizes: [] };
    var room = document.createElement('div');
    room.style.cssText = 'position:absolute;left:-100000px;top:0;visibility:hidden;font-size:14px;white-space:normal';
    room.style.fontFamily = getComputedStyle(document.body).fontFamily;
    var boxes = [], inBox = function (content, at, kind) {
      var box = document.createElement('div');
      box.style.cssText = 'display:inline-block;white-space:nowrap';
      box.appendChild(content);
      room.appendChild(box);
      boxes.push({ box: box, at: at, kind: kind });
    };
    read.lines.forEach(function (line) {
      if (line.node === undefined) return;
      var holder = document.createElement('span');
      holder.className = 'nodeLabel';
      labelInto(holder, read.nodes[line.node].label);
      labels.holders[line.node] = holder;
      inBox(holder, line.node, 'nodes');
    });
    read.edges.forEach(function (edge, at) {
      var said = labelText(edge.label);
      if (!said.trim()) return;
      var words = document.createElement('span');
      words.className = 'edgeLabel';
      words.textContent = said;
      labels.moves[at] = said;
      inBox(words, at, 'moveSizes');
    });
    source.appendChild(room);
    boxes.forEach(function (measured) {
      var r = measured.box.getBoundingClientRect();
      labels[measured.kind][measured.at] = [Math.ceil(r.width * 100) / 100, Math.ceil(r.height * 100) / 100];
    });
    source.removeChild(room);
    return labels;
  }

  // An empty block of the label's size: the only markup the library is
  // given, and nothing in it is read as its syntax.
  function standIn(key, size) {
    return "<span class='gstand' data-k='" + key + "' style='display:inline-block;vertical-align:top;width:" +
           size[0] + 'px;height:' + size[1] + "px'></span>";
  }

  // The graph's lines in their order, every label a stand-in. Links are
  // put on the boxes afterwards, as the page's own drawing puts them.
  function standInSource(read, labels) {
    var out = ['flowchart TD', '  classDef cond stroke-dasharray: 4 3'];
    read.lines.forEach(function (line) {
      if (line.cond !== undefined) {
        out.push('  class ' + read.nodes[line.cond].id + ' cond');
      } else if (line.node !== undefined) {
        var node = read.nodes[line.node];
        out.push('  ' + node.id + node.shape + standIn('n' + line.node, labels.nodes[line.node]) + CLOSING[node.shape]);
      } else {
        var edge = read.edges[line.edge], size = labels.moveSizes[line.edge];
        out.push('  ' + read.nodes[edge.from].id + (edge.dotted ? ' -.->' : ' -->') +
                 (size ? '|"' + standIn('e' + line.edge, size) + '"|' : '') + ' ' + read.nodes[edge.to].id);
      }
    });
    return out.join('\n');
  }

  // A box's words as one name, its parts apart: what a screen reader says for it.
  function spoken(holder) {
    var parts = [];
    holder.childNodes.forEach(function (child) {
      var said = child.textContent.trim();
      if (said) parts.push(said);
    });
    return parts.join(' ');
  }

  // Every stand-in the library drew takes its label; each box is named,
  // and a box of a screen leads to its card.
  function writeLabels(source, read, labels) {
    var names = [];
    labels.holders.forEach(function (holder, at) { names[at] = spoken(holder); });
    source.querySelectorAll('span.gstand').forEach(function (stand) {
      var key = stand.getAttribute('data-k'), at = Number(key.slice(1)), label = stand.parentNode;
      if (key.charAt(0) === 'n') {
        label.textContent = '';
        var holder = labels.holders[at];
        while (holder.firstChild) label.appendChild(holder.firstChild);
      } else {
        label.textContent = labels.moves[at];
      }
    });
    var boxes = Object.create(null);
    source.querySelectorAll('svg g.node').forEach(function (group) { boxes[group.getAttribute('data-id')] = group; });
    read.nodes.forEach(function (node, at) {
      var group = boxes[node.id];
      if (!group) return;
      nameBox(group, node, names[at] === undefined ? node.label : names[at]);
    });
  }

  // A box that leads to a card is a link of that name; any other is a picture of it.
  function nameBox(group, node, name) {
    if (!node.href) {
      group.setAttribute('role', 'img');
      group.setAttribute('aria-label', name);
      return group;
    }
    var anchor = document.createElementNS(SVG, 'a');
    anchor.setAttribute('href', node.href);
    anchor.setAttribute('data-id', node.id);
    anchor.setAttribute('aria-label', name);
    if (group.parentNode) group.parentNode.insertBefore(anchor, group);
    anchor.appendChild(group);
    return anchor;
  }

  function say() {
    if (graph.querySelector('.gnote')) return;
    var note = document.createElement('p');
    note.className = 'gnote';
    note.textContent = '그래프 그림을 불러오지 못했어요. 아래는 그 원문이고, 같은 이동은 화면별 상세에 있어요.';
    graph.insertBefore(note, graph.firstChild);
  }

  // Offline, or with the library refused, the box keeps the graph's text and says why.
  function explain() {
    graph.removeAttribute('data-ask');
    if (askButton && askButton.parentElement) askButton.parentElement.hidden = true;
    say();
  }

  // A library host that takes the connection and never answers is given
  // up only after the browser's own time-out, half a minute or more: the
  // page says so much sooner, and a library that comes late still draws.
  var PATIENCE = 8000;
  setTimeout(function () {
    if (wanted && library === 'waiting') say();
  }, PATIENCE);

  // Drawing holds the page for a while: it starts after the page has had
  // its chance to paint what it has.
  function start() {
    if (!wanted) return;
    // Offline, or with the library refused, the page draws the graph itself.
    if (library === 'failed') {
      wanted = false;
      try { drawLarge(function () {}, never, function (drawing, show) { mapped(drawing, show, never); }, explain); } catch (e) { explain(); }
      return;
    }
    if (library !== 'ready') return;
    wanted = false;
    setTimeout(function () {
      try { draw(); } catch (e) { explain(); }
    }, 0);
  }

  function arrived() {
    try {
      configure();
      library = 'ready';
    } catch (e) {
      library = 'failed';
    }
  }

  function isLibrary(event) {
    return !!event.target && event.target.id === LIBRARY;
  }
  document.addEventListener('load', function (event) {
    if (!isLibrary(event)) return;
    if (typeof mermaid !== 'undefined') arrived(); else library = 'failed';
    start();
  }, true);
  document.addEventListener('error', function (event) {
    if (!isLibrary(event)) return;
    library = 'failed';
    start();
  }, true);

  // Mermaid lays a graph out in one go on the page's own thread: for
  // hundreds of screens and moves that keeps the tab from answering for
  // minutes. A graph drawn on request is laid out in layers on a worker
  // thread instead, without the library, and put on the page when ready.

  // Self-contained, so that its source is also the worker's. Takes node
  // sizes, edges as node indices and each edge's label size (or null);
  // gives node centres, each edge's points from its source to its target,
  // and the centre of each edge's label.
  function layOut(input) {
    'use strict';
    var sizes = input.nodes, edges = input.edges, labels = input.labels;
    var n = sizes.length, count = n, i, k, r;
    var w = [], h = [], rank = [], ups = [], downs = [];
    for (i = 0; i < n; i++) { w.push(sizes[i][0]); h.push(sizes[i][1]); rank.push(0); ups.push([]); downs.push([]); }

    // A screen that leads to itself has its loops and their words at its
    // right: the room is kept beside the box, so no neighbour covers them.
    var loops = [], room = [];
    for (i = 0; i < n; i++) { loops.push([]); room.push(0); }
    for (k = 0; k < edges.length; k++) if (edges[k][0] === edges[k][1]) loops[edges[k][0]].push(k);
    var LOOP = 36, LOOP_STEP = 14;
    for (i = 0; i < n; i++) {
      if (!loops[i].length) continue;
      var wide = 0, tall = 0;
      loops[i].forEach(function (edge) {
        var size = labels[edge] || [0, 0];
        wide = Math.max(wide, size[0]);
        tall += size[1] + 4;
      });
      room[i] = 0.75 * (LOOP + LOOP_STEP * (loops[i].length - 1)) + 6 + wide;
      w[i] += room[i];
      h[i] = Math.max(h[i], tall);
    }

    // Layers: each screen as many moves below the start as the fewest that
    // reach it. A move then goes one layer down, back up, or across its
    // own layer; the graph stays as shallow as its moves allow, and a move
    // back up the whole plan passes the few layers there are.
    var outs = [], hasIn = [], queue = [];
    for (i = 0; i < n; i++) { outs.push([]); hasIn.push(false); rank[i] = -1; }
    for (k = 0; k < edges.length; k++) {
      if (edges[k][0] === edges[k][1]) continue;
      outs[edges[k][0]].push(edges[k][1]);
      hasIn[edges[k][1]] = true;
    }
    var spread = function (root) {
      rank[root] = 0;
      for (var at = queue.push(root) - 1; at < queue.length; at++) {
        var v = queue[at];
        for (var m = 0; m < outs[v].length; m++) {
          if (rank[outs[v][m]] >= 0) continue;
          rank[outs[v][m]] = rank[v] + 1;
          queue.push(outs[v][m]);
        }
      }
    };
    for (i = 0; i < n; i++) if (!hasIn[i] && rank[i] < 0) spread(i);
    for (i = 0; i < n; i++) if (rank[i] < 0) spread(i);
    var order = queue;
    // A wide layer is laid in several rows, as many screens a row as keep
    // the drawing about twice as wide as it is high: each screen takes its
    // box's width and its moves' words across, and its box's height, a gap
    // and words down.
    var boxesAcross = 0, down = 0, wordsDown = 0;
    for (i = 0; i < n; i++) { boxesAcross += w[i] + input.nodeGap; down += h[i] + input.rankGap; }
    var wordsAcross = 0;
    for (k = 0; k < edges.length; k++) {
      if (!labels[k]) continue;
      wordsAcross += labels[k][0] + input.nodeGap / 3;
      wordsDown = Math.max(wordsDown, labels[k][1]);
    }
    var unitAcross = Math.max(boxesAcross, wordsAcross) / Math.max(n, 1), unitDown = down / Math.max(n, 1) + wordsDown;
    var ROW = Math.max(4, Math.ceil(Math.sqrt(2 * n * unitDown / unitAcross))), rows = [], inLayer = [];
    for (i = 0; i < order.length; i++) {
      var layer = rank[order[i]];
      while (inLayer.length <= layer) inLayer.push(0);
      rows.push(Math.floor(inLayer[layer]++ / ROW));
    }
    var base = [0];
    for (r = 0; r < inLayer.length; r++) base.push(base[r] + Math.ceil(inLayer[r] / ROW));
    for (i = 0; i < order.length; i++) rank[order[i]] = base[rank[order[i]]] + rows[i];
    // Between two layers of screens lies a layer of moves' words: every move
    // crosses one, and its words are a box of that layer, kept apart from
    // the others as the screens are.
    for (i = 0; i < n; i++) rank[i] *= 2;

    // A move up is laid out reversed; a move across its layer dips into the
    // words' layer below and comes back up. A move across several layers
    // passes a point in each; the point in its words' layer is as large as
    // its words.
    var chains = [], carrier = [], back = [], across = [];
    for (k = 0; k < edges.length; k++) {
      var from = edges[k][0], to = edges[k][1];
      back.push(rank[to] < rank[from]);
      across.push(from !== to && rank[to] === rank[from]);
      carrier.push(-1);
      if (from === to) { chains.push(null); continue; }
      if (back[k]) { var swap = from; from = to; to = swap; }
      var ending = across[k] ? rank[to] + 2 : rank[to];
      var chain = [from], prev = from, first = rank[from];
      var span = ending - first, wordsAt = first + 2 * Math.floor((span - 2) / 4) + 1;
      for (r = first + 1; r < ending; r++) {
        var point = count++, size = r === wordsAt && labels[k] ? labels[k] : [0, 0];
        if (r === wordsAt) carrier[k] = point;
        w.push(size[0]); h.push(size[1]); rank.push(r); ups.push([prev]); downs.push([]);
        downs[prev].push(point);
        chain.push(point);
        prev = point;
      }
      if (across[k]) {
        downs[to].push(prev);
        ups[prev].push(to);
      } else {
        downs[prev].push(to);
        ups[to].push(prev);
      }
      chain.push(to);
      chains.push(chain);
    }

    var layers = [], top = 0;
    for (i = 0; i < count; i++) top = Math.max(top, rank[i]);
    for (r = 0; r <= top; r++) layers.push([]);
    // First order: as a depth-first walk from the top meets them.
    var seen = [], place = [];
    for (i = 0; i < count; i++) { seen.push(false); place.push(0); }
    var walk = function (root) {
      var stack = [root];
      while (stack.length) {
        var v = stack.pop();
        if (seen[v]) continue;
        seen[v] = true;
        layers[rank[v]].push(v);
        for (var at = downs[v].length - 1; at >= 0; at--) if (!seen[downs[v][at]]) stack.push(downs[v][at]);
      }
    };
    for (i = 0; i < order.length; i++) walk(order[i]);
    for (i = 0; i < count; i++) walk(i);
    var number = function (layer) { for (var at = 0; at < layer.length; at++) place[layer[at]] = at; };
    layers.forEach(number);

    // Fewer crossings: each layer sorted by where its neighbours sit. Each
    // sweep costs about the nodes and moves laid out, so a very large graph
    // gets fewer sweeps and the whole stays near-linear in its size.
    var WORK = 4000000;
    var sweeps = Math.max(2, Math.min(8, Math.floor(WORK / (count + edges.length + 1))));
    var sortBy = function (layer, near) {
      var keyed = layer.map(function (v) {
        var list = near[v], sum = 0;
        for (var at = 0; at < list.length; at++) sum += place[list[at]];
        return { v: v, key: list.length ? sum / list.length : place[v], was: place[v] };
      });
      keyed.sort(function (a, b) { return a.key - b.key || a.was - b.was; });
      for (var at = 0; at < keyed.length; at++) layer[at] = keyed[at].v;
      number(layer);
    };
    for (var round = 0; round < sweeps; round++) {
      if (round % 2 === 0) for (r = 1; r <= top; r++) sortBy(layers[r], ups);
      else for (r = top - 1; r >= 0; r--) sortBy(layers[r], downs);
    }

    // Across: each node as near the mean of its neighbours as the order and
    // the gaps allow (the closest such fit: neighbours that would pass each
    // other are pooled and placed together).
    var x = [];
    for (i = 0; i < count; i++) x.push(0);
    var gap = function (a, b) {
      var apart = a < n && b < n ? input.nodeGap : w[a] && w[b] ? input.nodeGap / 3 : input.nodeGap / 2;
      return (w[a] + w[b]) / 2 + apart;
    };
    var fit = function (layer, wanted) {
      var offsets = [0], blocks = [], at;
      for (at = 1; at < layer.length; at++) offsets.push(offsets[at - 1] + gap(layer[at - 1], layer[at]));
      for (at = 0; at < layer.length; at++) {
        var block = { sum: wanted[at] - offsets[at], size: 1 };
        while (blocks.length && blocks[blocks.length - 1].sum / blocks[blocks.length - 1].size > block.sum / block.size) {
          var last = blocks.pop();
          block = { sum: block.sum + last.sum, size: block.size + last.size };
        }
        blocks.push(block);
      }
      var index = 0;
      blocks.forEach(function (b) {
        for (var m = 0; m < b.size; m++, index++) x[layer[index]] = b.sum / b.size + offsets[index];
      });
    };
    layers.forEach(function (layer) { fit(layer, layer.map(function () { return 0; })); });
    var pull = function (layer, near) {
      fit(layer, layer.map(function (v) {
        var list = near[v], sum = 0;
        for (var at = 0; at < list.length; at++) sum += x[list[at]];
        return list.length ? sum / list.length : x[v];
      }));
    };
    for (round = 0; round < Math.min(6, sweeps); round++) {
      for (r = 1; r <= top; r++) pull(layers[r], ups);
      for (r = top - 1; r >= 0; r--) pull(layers[r], downs);
    }

    var left = 0, right = 0, margin = 8, y = [], layerTop = margin;
    if (count) { left = Infinity; right = -Infinity; }
    for (i = 0; i < count; i++) { left = Math.min(left, x[i] - w[i] / 2); right = Math.max(right, x[i] + w[i] / 2); }
    for (i = 0; i < count; i++) { x[i] += margin - left; y.push(0); }
    var above = [], below = [];
    layers.forEach(function (layer, at) {
      var tall = 0;
      layer.forEach(function (v) { tall = Math.max(tall, h[v]); });
      layer.forEach(function (v) { y[v] = layerTop + tall / 2; });
      above.push(layerTop);
      below.push(layerTop + tall);
      layerTop += tall + input.rankGap / 2;
    });
    // Boxes with loops sit left in their room.
    for (i = 0; i < n; i++) { x[i] -= room[i] / 2; w[i] = sizes[i][0]; h[i] = sizes[i][1]; }

    // The moves leave and reach a box at points spread along its edge, in
    // the order of where they come from, so they can be told apart.
    var ports = [];
    for (i = 0; i < n; i++) ports.push({ down: [], up: [] });
    chains.forEach(function (chain, edge) {
      if (!chain) return;
      ports[chain[0]].down.push({ edge: edge, end: 0, toward: x[chain[1]] });
      var last = chain[chain.length - 1];
      (across[edge] ? ports[last].down : ports[last].up).push({ edge: edge, end: chain.length - 1, toward: x[chain[chain.length - 2]] });
    });
    var shift = [];
    chains.forEach(function (chain) { shift.push(chain ? [0, 0] : null); });
    var spread = function (list, v) {
      list.sort(function (a, b) { return a.toward - b.toward || a.edge - b.edge; });
      var along = Math.min(w[v] * 0.7, 12 * (list.length - 1));
      list.forEach(function (port, at) {
        shift[port.edge][port.end ? 1 : 0] = list.length > 1 ? -along / 2 + along * at / (list.length - 1) : 0;
      });
    };
    for (i = 0; i < n; i++) { spread(ports[i].down, i); spread(ports[i].up, i); }

    // A line runs straight down through each layer it passes, at its own
    // point there, which the layer's order keeps clear of the boxes beside
    // it, and bends only in the gaps between layers, where no box is: so no
    // line crosses a box but its own ends'. Each goes to the page as its
    // path: a short text each, where points would be many small arrays to
    // copy from the worker. A tenth of a unit is finer than any screen
    // shows; a piece of no length is left out, as an arrow head would take
    // its way from it.
    var tenth = function (v) { return Math.round(v * 10) / 10; };
    var pathThrough = function (points) {
      var a = [tenth(points[0][0]), tenth(points[0][1])], d = 'M' + a[0] + ',' + a[1];
      for (var at = 1; at < points.length; at++) {
        var b = [tenth(points[at][0]), tenth(points[at][1])];
        if (a[0] === b[0] && a[1] === b[1]) continue;
        if (a[0] === b[0]) d += 'V' + b[1];
        else {
          var middle = tenth((a[1] + b[1]) / 2);
          d += 'C' + a[0] + ',' + middle + ' ' + b[0] + ',' + middle + ' ' + b[0] + ',' + b[1];
        }
        a = b;
      }
      return d;
    };
    var paths = chains.map(function (chain, edge) {
      if (!chain) return null;
      var list = [], last = chain.length - 1;
      chain.forEach(function (v, at) {
        var r = rank[v];
        if (at === 0) {
          list.push([x[v] + shift[edge][0], y[v] + h[v] / 2], [x[v] + shift[edge][0], below[r]]);
        } else if (at < last) {
          // A move across its layer turns in the words' layer below.
          if (across[edge]) list.push([x[v], y[v]]); else list.push([x[v], above[r]], [x[v], below[r]]);
        } else if (across[edge]) {
          list.push([x[v] + shift[edge][1], below[r]], [x[v] + shift[edge][1], y[v] + h[v] / 2]);
        } else {
          list.push([x[v] + shift[edge][1], above[r]], [x[v] + shift[edge][1], y[v] - h[v] / 2]);
        }
      });
      return pathThrough(back[edge] ? list.reverse() : list);
    });
    var spots = carrier.map(function (point) { return point < 0 ? null : [x[point], y[point]]; });
    // A loop leaves and reaches its box's right side; its words stand in
    // the box's room, one under another.
    for (i = 0; i < n; i++) {
      var stacked = 0, next = 0;
      loops[i].forEach(function (edge) { stacked += (labels[edge] || [0, 0])[1] + 4; });
      next = y[i] - stacked / 2;
      loops[i].forEach(function (edge, at) {
        var size = labels[edge] || [0, 0], reach = LOOP + LOOP_STEP * at;
        var cx = x[i] + w[i] / 2, cy = y[i];
        spots[edge] = [cx + 0.75 * (LOOP + LOOP_STEP * (loops[i].length - 1)) + 6 + size[0] / 2, next + size[1] / 2];
        paths[edge] = 'M' + cx + ',' + (cy - 10) + 'C' + (cx + reach) + ',' + (cy - 30) + ' ' +
                      (cx + reach) + ',' + (cy + 30) + ' ' + cx + ',' + (cy + 10);
        next += size[1] + 4;
      });
    }
    // Numbers in flat arrays and the lines in one text: a few large things
    // cross from the worker in a moment, where thousands of small ones hold
    // the page while they are rebuilt there.
    var flatSpots = new Float64Array(2 * spots.length).fill(NaN);
    spots.forEach(function (spot, edge) {
      if (spot) flatSpots.set(spot, 2 * edge);
    });
    return {
      x: Float64Array.from(x.slice(0, n)), y: Float64Array.from(y.slice(0, n)), paths: paths.join('\n'), spots: flatSpots,
      width: right - left + 2 * margin, height: Math.max(layerTop - input.rankGap / 2 + margin, 2 * margin)
    };
  }

  // On a worker, or on the page's own thread where no worker can be made.
  function layOutAside(input, done) {
    var worker = null, address = null, settled = false;
    try {
      address = URL.createObjectURL(new Blob(
        ['onmessage = function (event) { var placed = (' + layOut + ')(event.data); ' +
         'postMessage(placed, [placed.x.buffer, placed.y.buffer, placed.spots.buffer]); };'],
        { type: 'text/javascript' }));
      worker = new Worker(address);
    } catch (e) {
      worker = null;
    }
    var end = function () {
      settled = true;
      if (worker) worker.terminate();
      if (address) URL.revokeObjectURL(address);
    };
    var here = function () {
      end();
      setTimeout(function () { done(layOut(input)); }, 0);
    };
    if (!worker) { here(); return; }
    worker.onmessage = function (event) {
      if (settled) return;
      end();
      done(event.data);
    };
    worker.onerror = function (event) {
      if (event.preventDefault) event.preventDefault();
      if (!settled) here();
    };
    worker.postMessage(input);
  }

  var SVG = 'http://www.w3.org/2000/svg';
  var XHTML = 'http://www.w3.org/1999/xhtml';
  var CLOSING = { '["': '"]', '(["': '"])', '[["': '"]]', '[/"': '"/]', '{{"': '"}}' };

  // The graph's own text as the page writes it: node lines with their
  // class and link lines, then the moves. `lines` keeps the order of the
  // node, class and move lines, which is the order a layout meets them in.
  function readGraph(text) {
    var nodes = [], byId = Object.create(null), edges = [], lines = [];
    var node = function (id) {
      if (!(id in byId)) {
        byId[id] = nodes.length;
        nodes.push({ id: id, label: null, shape: '["', cond: false, href: null });
      }
      return byId[id];
    };
    text.split('\n').forEach(function (raw) {
      var line = raw.trim(), m;
      if ((m = /^click (\S+) href "(#[^"]*)"$/.exec(line))) { nodes[node(m[1])].href = m[2]; return; }
      if ((m = /^class (\S+) cond$/.exec(line))) {
        var marked = node(m[1]);
        nodes[marked].cond = true;
        lines.push({ cond: marked });
        return;
      }
      if ((m = /^(\S+) (-->|-\.->)(?:\|"([^"]*)"\|)? (\S+)$/.exec(line))) {
        edges.push({ from: node(m[1]), to: node(m[4]), dotted: m[2] === '-.->', label: m[3] || '' });
        lines.push({ edge: edges.length - 1 });
        return;
      }
      m = /^([^\s[({"]+)(\(\["|\[\["|\[\/"|\{\{"|\[")(.*)("\]\)|"\]\]|"\/\]|"\}\}|"\])$/.exec(line);
      if (m && CLOSING[m[2]] === m[4]) {
        var at = node(m[1]);
        nodes[at].label = m[3];
        nodes[at].shape = m[2];
        lines.push({ node: at });
      }
    });
    nodes.forEach(function (found) { if (found.label === null) found.label = found.id; });
    return { nodes: nodes, edges: edges, lines: lines };
  }

  // A label rebuilt from the few things a label holds: text, line breaks,
  // small print and the screen's thumbnail; nothing else it says is markup.
  // Most move words are plain text, which parsing would only copy; what
  // is parsed goes through one template, so that drawing thousands of
  // labels leaves little for the browser to collect.
  var MARKUP = /[<&\0\r]/, reader = null;
  function labelInto(holder, markup) {
    if (!MARKUP.test(markup)) {
      if (markup) holder.appendChild(document.createTextNode(markup));
      return;
    }
    reader = reader || document.createElement('template');
    var template = reader;
    template.innerHTML = markup;
    var copy = function (from, to) {
      Array.prototype.forEach.call(from.childNodes, function (child) {
        if (child.nodeType === 3) { to.appendChild(document.createTextNode(child.nodeValue)); return; }
        if (child.nodeType !== 1) return;
        var tag = child.localName;
        if (tag === 'br') { to.appendChild(document.createElement('br')); return; }
        if (tag === 'small') {
          var small = document.createElement('small');
          copy(child, small);
          to.appendChild(small);
          return;
        }
        if (tag === 'img') {
          var image = document.createElement('img');
          image.className = 'gimg';
          image.alt = '';
          var path = child.getAttribute('data-src'), web = child.getAttribute('src');
          if (path) image.setAttribute('data-src', path);
          else if (web && /^https?:\/\//i.test(web)) image.setAttribute('src', web);
          to.appendChild(image);
          return;
        }
        copy(child, to);
      });
    };
    copy(template.content, holder);
    template.innerHTML = '';
  }

  function labelText(markup) {
    if (!MARKUP.test(markup)) return markup;
    var text = document.createElement('div');
    labelInto(text, markup);
    return text.textContent;
  }

  function shapeOf(node, width, height) {
    var group = document.createElementNS(SVG, 'g'), shape;
    var slant = height / 4;
    var corners = function (list) {
      shape = document.createElementNS(SVG, 'polygon');
      shape.setAttribute('points', list.map(function (p) { return p[0] + ',' + p[1]; }).join(' '));
    };
    if (node.shape === '{{"') {
      corners([[slant, 0], [width - slant, 0], [width, height / 2], [width - slant, height], [slant, height], [0, height / 2]]);
    } else if (node.shape === '[/"') {
      corners([[slant, 0], [width, 0], [width - slant, height], [0, height]]);
    } else {
      shape = document.createElementNS(SVG, 'rect');
      shape.setAttribute('width', width);
      shape.setAttribute('height', height);
      if (node.shape === '(["') {
        shape.setAttribute('rx', height / 2);
        shape.setAttribute('ry', height / 2);
      }
    }
    group.appendChild(shape);
    if (node.shape === '[["') {
      [8, width - 8].forEach(function (at) {
        var side = document.createElementNS(SVG, 'line');
        side.setAttribute('x1', at);
        side.setAttribute('x2', at);
        side.setAttribute('y1', 0);
        side.setAttribute('y2', height);
        group.appendChild(side);
      });
    }
    return group;
  }

  // Named as the library names its lines: by the ids of their two ends.
  function link(d, edge, read, at) {
    var from = read.nodes[edge.from].id, to = read.nodes[edge.to].id;
    var path = document.createElementNS(SVG, 'path');
    path.setAttribute('d', d);
    path.setAttribute('id', 'L-' + from + '-' + to + '-' + at);
    path.setAttribute('class', 'flowchart-link LS-' + from + ' LE-' + to +
                      (edge.dotted ? ' edge-pattern-dotted' : ' edge-pattern-solid'));
    path.setAttribute('marker-end', 'url(#glaid-arrow)');
    return path;
  }

  // Long work is done a slice at a time, each short enough that the page
  // still answers and paints between them; `stopped` ends it early. What a
  // slice puts on the page is laid out and painted after it, outside its
  // own time, and may cost more than making it: each slice waits until the
  // page has painted the one before, and takes no more steps than the page,
  // painting included, went through in a frame's worth of time before.
  var SLICE_MS = 16, FRAME_MS = 40, PAINT_WAIT_MS = 50;
  // Gives `work` how long the page took to paint. A page that holds its
  // frames back (hidden, or covered) is waited for no longer than a
  // moment: its painting, if any, is not counted.
  function afterPaint(work) {
    var painting = -1, called = false;
    var go = function () {
      if (called) return;
      called = true;
      work(painting < 0 ? 0 : Date.now() - painting);
    };
    setTimeout(go, PAINT_WAIT_MS);
    if (!window.requestAnimationFrame) return;
    window.requestAnimationFrame(function () {
      painting = Date.now();
      setTimeout(go, 0);
    });
  }
  // Steps of different kinds (`kindOf`) cost the page very differently
  // afterwards: a slice holds one kind only, and what the slices of one
  // kind cost says nothing of the next, which starts small again.
  var FIRST_STEPS = 64;
  function inSlices(total, step, stopped, progress, done, kindOf) {
    kindOf = kindOf || function () { return 0; };
    var at = 0, most = FIRST_STEPS, kind = kindOf(0);
    var slice = function (lastSteps, lastCost) {
      if (stopped()) return;
      var begun = Date.now(), from = at;
      if (kindOf(at) !== kind) {
        kind = kindOf(at);
        most = FIRST_STEPS;
      } else if (lastSteps) {
        most = Math.max(8, Math.min(1.5 * most, lastSteps * FRAME_MS / Math.max(1, lastCost)));
      }
      while (at < total && at - from < most && Date.now() - begun < SLICE_MS && kindOf(at) === kind) at = step(at);
      var steps = at - from, took = Date.now() - begun;
      progress(at, total);
      if (at < total) afterPaint(function (paint) { slice(steps, took + paint); }); else done();
    };
    slice(0, 0);
  }

  // One sheet of the drawing: all sheets have the whole drawing's size and
  // lie one over another; the first carries the arrow head and the role.
  // Sheets of lines and words say nothing a reader needs; sheets of boxes
  // hold the links to the cards, which a reader reaches and hears.
  function sheet(placed, first, boxes) {
    var svg = document.createElementNS(SVG, 'svg');
    svg.setAttribute('class', 'glaid');
    svg.setAttribute('viewBox', '0 0 ' + placed.width + ' ' + placed.height);
    if (boxes) {
      svg.setAttribute('role', 'group');
      return svg;
    }
    if (!first) {
      svg.setAttribute('aria-hidden', 'true');
      return svg;
    }
    svg.setAttribute('role', 'graphics-document document');
    svg.setAttribute('aria-roledescription', 'flowchart');
    var marker = document.createElementNS(SVG, 'marker');
    [['id', 'glaid-arrow'], ['viewBox', '0 0 10 10'], ['refX', '9'], ['refY', '5'],
     ['markerWidth', '8'], ['markerHeight', '8'], ['orient', 'auto']].forEach(function (pair) {
      marker.setAttribute(pair[0], pair[1]);
    });
    var head = document.createElementNS(SVG, 'path');
    head.setAttribute('d', 'M0,0L10,5L0,10z');
    marker.appendChild(head);
    var defs = document.createElementNS(SVG, 'defs');
    defs.appendChild(marker);
    svg.appendChild(defs);
    return svg;
  }

  function box(node, at, holder, sizes, placed) {
    var width = sizes[at][0], height = sizes[at][1];
    var group = shapeOf(node, width, height);
    group.setAttribute('class', 'node' + (node.cond ? ' cond' : ''));
    group.setAttribute('id', 'flowchart-' + node.id + '-' + at);
    group.setAttribute('data-id', node.id);
    group.setAttribute('transform', 'translate(' + (placed.x[at] - width / 2) + ',' + (placed.y[at] - height / 2) + ')');
    var label = document.createElementNS(SVG, 'foreignObject');
    label.setAttribute('width', width);
    label.setAttribute('height', height);
    var frame = document.createElementNS(XHTML, 'div');
    frame.setAttribute('class', 'gframe');
    frame.appendChild(holder);
    label.appendChild(frame);
    group.appendChild(label);
    return nameBox(group, node, spoken(holder));
  }

  // A move's words in the box the layout kept for them, on the graph's own
  // colour, as the library draws them: the line they sit on would show
  // through the spaces.
  function words(holder, size, spot) {
    var place = document.createElementNS(SVG, 'foreignObject');
    place.setAttribute('x', spot[0] - size[0] / 2);
    place.setAttribute('y', spot[1] - size[1] / 2);
    place.setAttribute('width', size[0]);
    place.setAttribute('height', size[1]);
    place.appendChild(holder);
    return place;
  }

  // The drawing goes on the page in slices: lines, then boxes, then words,
  // so words are never under a box or a line. It is drawn on sheets of a
  // few hundred parts each: a browser lays out and paints again the whole
  // of a sheet something is added to, never the sheets before it.
  var SHEET = 400;
  function put(drawing, read, parts, placed, progress, stopped, done) {
    var paths = placed.paths.split('\n');
    drawing.style.width = placed.width + 'px';
    drawing.style.height = placed.height + 'px';
    drawing.style.setProperty('--ratio', placed.width / placed.height);
    var current = sheet(placed, true), onSheet = 0, phase = 0;
    drawing.appendChild(current);
    // Turned to its top while the drawing is still empty: later, placing
    // the view would lay out all that has been put on the page at once.
    facingTop(drawing, placed);
    var add = function (part, partPhase) {
      if (onSheet >= SHEET || partPhase !== phase) {
        current = drawing.appendChild(sheet(placed, false, partPhase === 1));
        onSheet = 0;
        phase = partPhase;
      }
      current.appendChild(part);
      onSheet++;
    };
    var texts = [];
    read.edges.forEach(function (edge, at) { if (parts.moves[at]) texts.push(at); });
    var edges = read.edges.length, nodes = read.nodes.length, total = edges + nodes + texts.length;
    var partOf = function (at) { return at < edges ? 0 : at < edges + nodes ? 1 : 2; };
    inSlices(total, function (at) {
      var kind = partOf(at);
      if (kind === 0) add(link(paths[at], read.edges[at], read, at), kind);
      else if (kind === 1) {
        var part = box(read.nodes[at - edges], at - edges, parts.holders[at - edges], parts.sizes, placed);
        add(part, kind);
        if (typeof window.quarryAssets === 'function') window.quarryAssets(part);
      } else {
        var edge = texts[at - edges - nodes];
        add(words(parts.moves[edge], parts.moveSizes[edge], placed.spots.subarray(2 * edge, 2 * edge + 2)), kind);
      }
      return at + 1;
    }, stopped, progress, done, partOf);
  }

  // Every label measured out of sight, in the graph's own fonts, a slice at
  // a time: each slice is laid out once, on its own.
  function measure(read, progress, stopped, done) {
    var parts = { holders: [], sizes: [], moves: [], moveSizes: [] };
    var nodes = read.nodes.length, total = nodes + read.edges.length;
    // Laid out on its own, and kept on the page throughout: what a slice
    // puts in it lays out nothing else.
    var measuring = document.createElement('div'), pending = [];
    measuring.className = 'gmeasure';
    measuring.style.cssText = 'position:absolute;left:-100000px;top:0;width:100000px;height:100px;' +
                              'overflow:hidden;contain:strict;visibility:hidden';
    graph.appendChild(measuring);
    var flush = function () {
      pending.forEach(function (measured) { measured(); });
      measuring.textContent = '';
      pending = [];
    };
    var add = function (holder, measured) {
      measuring.appendChild(holder);
      pending.push(measured);
      if (pending.length >= 300) flush();
    };
    inSlices(total, function (at) {
      if (at < nodes) {
        var holder = document.createElement('div');
        holder.className = 'glabel';
        labelInto(holder, read.nodes[at].label);
        parts.holders.push(holder);
        add(holder, function () {
          var shape = read.nodes[at].shape;
          var width = Math.max(holder.offsetWidth, 20) + 30, height = Math.max(holder.offsetHeight, 18) + 20;
          if (shape === '(["' || shape === '{{"' || shape === '[/"') width += height / 2;
          if (shape === '[["') width += 16;
          parts.sizes[at] = [width, height];
        });
      } else {
        var said = labelText(read.edges[at - nodes].label);
        if (said.trim()) {
          var move = document.createElementNS(XHTML, 'div');
          move.setAttribute('class', 'gmove');
          move.textContent = said;
          parts.moves[at - nodes] = move;
          add(move, function () {
            var r = move.getBoundingClientRect();
            parts.moveSizes[at - nodes] = [Math.ceil(r.width) + 1, Math.ceil(r.height)];
          });
        } else {
          parts.moves[at - nodes] = null;
          parts.moveSizes[at - nodes] = null;
        }
      }
      return at + 1;
    }, stopped, progress, function () {
      flush();
      graph.removeChild(measuring);
      done(parts);
    }, function (at) { return at < nodes ? 0 : 1; });
  }

  // A drawn large graph is a map: its box has a height of its own, in which
  // the drawing is panned and zoomed, from the whole of it fitted into the
  // box to four times its size; a screen is found by name, and each card
  // leads to its box.
  var MAX_SCALE = 4;
  function viewport(drawing, size) {
    var scale = 1;
    var tools = document.createElement('div');
    tools.className = 'gtools';
    var fitButton = document.createElement('button'), fullButton = document.createElement('button');
    fitButton.type = fullButton.type = 'button';
    fitButton.textContent = '전체 보기';
    fullButton.textContent = '실제 크기';
    var find = document.createElement('input');
    find.type = 'search';
    find.className = 'gfind';
    find.placeholder = '화면 이름으로 찾기';
    find.setAttribute('aria-label', find.placeholder);
    // What find came to, told to a reader as well as shown.
    var told = document.createElement('span');
    told.className = 'gtold';
    told.setAttribute('role', 'status');
    told.setAttribute('aria-live', 'polite');
    [fitButton, fullButton, find, told].forEach(function (part) { tools.appendChild(part); });
    graph.insertBefore(tools, graph.firstChild);
    graph.classList.add('gview');

    // Fitted into the most the box may take, not into what it takes now: a
    // box that shrinks with its drawing would fit it smaller at each turn.
    var fitted = function () {
      var room = tools.getBoundingClientRect();
      var tall = Math.max(graph.clientHeight, parseFloat(getComputedStyle(graph).maxHeight) || 0);
      var across = (graph.clientWidth - 32) / size.width, down = (tall - room.height - 40) / size.height;
      return Math.min(1, Math.max(0.01, Math.min(across, down)));
    };
    // The point of the drawing at (x, y) on screen stays there.
    var zoomTo = function (wanted, x, y) {
      var before = drawing.getBoundingClientRect();
      var pointX = (x - before.left) / scale, pointY = (y - before.top) / scale;
      scale = Math.min(MAX_SCALE, Math.max(Math.min(1, fitted()), wanted));
      drawing.style.width = size.width * scale + 'px';
      drawing.style.height = size.height * scale + 'px';
      var after = drawing.getBoundingClientRect();
      graph.scrollLeft += after.left + pointX * scale - x;
      graph.scrollTop += after.top + pointY * scale - y;
    };
    var middle = function () {
      var box = graph.getBoundingClientRect();
      return [box.left + box.width / 2, box.top + box.height / 2];
    };
    fitButton.addEventListener('click', function () { var at = middle(); zoomTo(fitted(), at[0], at[1]); });
    fullButton.addEventListener('click', function () { var at = middle(); zoomTo(1, at[0], at[1]); });
    // The application zooms its whole view itself: the pinch is left to it.
    var handlers = window.webkit && window.webkit.messageHandlers;
    drawing.addEventListener('wheel', function (event) {
      if (!event.ctrlKey || handlers && handlers.quarryZoom) return;
      event.preventDefault();
      event.stopPropagation();
      zoomTo(scale * Math.exp(-event.deltaY * 0.01), event.clientX, event.clientY);
    }, { passive: false });

    // Dragged by its ground, the drawing moves with the pointer.
    var dragged = null;
    drawing.addEventListener('pointerdown', function (event) {
      if (event.button !== 0 || event.target.closest('a, .node')) return;
      dragged = [event.clientX, event.clientY];
      drawing.setPointerCapture(event.pointerId);
    });
    drawing.addEventListener('pointermove', function (event) {
      if (!dragged) return;
      graph.scrollLeft -= event.clientX - dragged[0];
      graph.scrollTop -= event.clientY - dragged[1];
      dragged = [event.clientX, event.clientY];
    });
    // A touch the browser takes over for its own scrolling ends without a
    // pointerup: the drag ends with it, or the drawing would follow the
    // pointer with no button held.
    ['pointerup', 'pointercancel', 'lostpointercapture'].forEach(function (type) {
      drawing.addEventListener(type, function () { dragged = null; });
    });
    // A box's link followed from a magnified map sets it back first.
    drawing.addEventListener('click', function (event) {
      if (scale <= 1 || !event.target.closest('a')) return;
      var at = middle();
      zoomTo(1, at[0], at[1]);
      graph.scrollLeft = 0;
    });

    var found = null, foldButton = document.getElementById('graph-fold');
    var show = function (node) {
      // A folded map is opened first: a box in it is nowhere to be seen.
      if (graph.classList.contains('closed') && foldButton) foldButton.click();
      if (found) found.classList.remove('gfound');
      found = node;
      node.classList.add('gfound');
      if (scale < 0.5) { var at = middle(); zoomTo(1, at[0], at[1]); }
      graph.scrollIntoView({ block: 'nearest' });
      // Its tools rest below the sticky platform bar, not under it.
      var bar = document.querySelector('.ptabs');
      var under = bar ? bar.getBoundingClientRect().bottom - graph.getBoundingClientRect().top : 0;
      if (under > 0) window.scrollBy(0, -under);
      var box = graph.getBoundingClientRect(), spot = node.getBoundingClientRect();
      graph.scrollLeft += spot.left + spot.width / 2 - (box.left + box.width / 2);
      graph.scrollTop += spot.top + spot.height / 2 - (box.top + box.height / 2);
    };
    // Every box whose words hold the text, in either Unicode form of
    // Hangul; Enter goes on to the next of them.
    var folded = function (text) { return text.normalize('NFC').toLowerCase(); };
    var asked = null, hits = [], hit = -1;
    var seek = function (again) {
      var wanted = folded(find.value.trim());
      if (!wanted || (wanted === asked && !again)) return;
      if (wanted !== asked) {
        asked = wanted;
        // By its words run together or as a reader hears them, parts apart.
        hits = Array.prototype.slice.call(drawing.querySelectorAll('g.node')).filter(function (node) {
          var named = node.closest('[aria-label]');
          return folded(node.textContent).indexOf(wanted) >= 0 ||
                 !!named && folded(named.getAttribute('aria-label')).indexOf(wanted) >= 0;
        });
        hit = -1;
      }
      find.classList.toggle('gmiss', !hits.length);
      if (!hits.length) {
        told.textContent = "'" + find.value.trim() + "'에 맞는 화면이 없어요";
        return;
      }
      hit = (hit + 1) % hits.length;
      told.textContent = hits.length + '개 중 ' + (hit + 1) + '번째';
      show(hits[hit]);
    };
    find.addEventListener('change', function () { seek(false); });
    find.addEventListener('keydown', function (event) {
      if (event.key !== 'Enter') return;
      event.preventDefault();
      seek(true);
    });
    return show;
  }

  // Each card gets a link to its box in the drawing, a slice at a time.
  function cardLinks(drawing, show, stopped) {
    var cards = Array.prototype.slice.call(document.querySelectorAll('.screen'));
    // A box's link names its card's key percent-encoded where the key holds
    // a character a link cannot (a space, a quotation mark, "#", "%"); read
    // back, it is the card's id.
    var byId = Object.create(null);
    drawing.querySelectorAll('a[data-id]').forEach(function (anchor) {
      var href = anchor.getAttribute('href');
      try { href = decodeURIComponent(href); } catch (e) { /* kept as written */ }
      byId[href] = anchor.querySelector('g.node');
    });
    inSlices(cards.length, function (at) {
      var card = cards[at], node = byId['#' + card.id];
      var title = card.querySelector(':scope > .title');
      if (node && title) {
        var link = document.createElement('a');
        link.className = 'gwhere';
        link.setAttribute('href', '#');
        link.textContent = '그래프에서 보기';
        // From the keyboard, the focus goes with the view to the box.
        link.addEventListener('click', function (event) {
          event.preventDefault();
          show(node);
          var box = node.closest('a');
          if (box) box.focus({ preventScroll: true });
        });
        title.appendChild(link);
      }
      return at + 1;
    }, stopped, function () {}, function () {});
  }

  // The view opens on the top of the drawing, where its first screens are,
  // not on its empty left corner.
  function facingTop(drawing, placed) {
    if (!placed.y.length) return;
    var first = 0;
    for (var at = 1; at < placed.y.length; at++) {
      if (placed.y[at] < placed.y[first] || placed.y[at] === placed.y[first] && placed.x[at] < placed.x[first]) first = at;
    }
    graph.scrollLeft = drawing.offsetLeft + placed.x[first] - graph.clientWidth / 2;
  }

  function drawLarge(progress, stopped, done, failed) {
    var source = graph.querySelector('pre.mermaid');
    if (!source) { failed(); return; }
    var read = readGraph(source.textContent), text = source.textContent;
    // The box takes its final shape, and is shown, before the drawing fills it.
    var drawing = document.createElement('div'), size = { width: 0, height: 0 };
    drawing.className = 'gsheets';
    source.textContent = '';
    source.appendChild(drawing);
    source.setAttribute('data-processed', 'true');
    graph.removeAttribute('data-ask');
    var show = viewport(drawing, size);
    // Stopped or failed, the graph's box is as it was before.
    var undo = function () {
      var measuring = graph.querySelector('.gmeasure'), tools = graph.querySelector('.gtools');
      if (measuring) graph.removeChild(measuring);
      if (tools) graph.removeChild(tools);
      graph.classList.remove('gview');
      graph.setAttribute('data-ask', '');
      source.textContent = text;
      source.removeAttribute('data-processed');
    };
    var guarded = function (work) {
      return function () {
        if (stopped()) return;
        try { work.apply(null, arguments); } catch (e) { undo(); failed(); }
      };
    };
    measure(read, function (at, total) { progress(at, total, 0); }, stopped, guarded(function (parts) {
      var input = {
        nodes: parts.sizes,
        edges: read.edges.map(function (edge) { return [edge.from, edge.to]; }),
        labels: parts.moveSizes,
        nodeGap: 30,
        rankGap: 64
      };
      layOutAside(input, guarded(function (placed) {
        size.width = placed.width;
        size.height = placed.height;
        put(drawing, read, parts, placed, function (at, total) { progress(at, total, 1); }, stopped, guarded(function () {
          done(drawing, show);
        }));
      }));
    }));
    return undo;
  }

  if (askButton) {
    askButton.disabled = false;
    var asked = askButton.textContent, busy = '그리는 중…';
    askButton.addEventListener('click', function () {
      askButton.disabled = true;
      askButton.textContent = busy;
      var stop = document.createElement('button');
      stop.type = 'button';
      stop.id = 'graph-stop';
      stop.textContent = '그만 그리기';
      askButton.parentElement.appendChild(stop);
      var halted = false, undo = null;
      var stopped = function () { return halted; };
      var finish = function () { if (stop.parentElement) stop.parentElement.removeChild(stop); };
      stop.addEventListener('click', function () {
        halted = true;
        if (undo) undo();
        finish();
        askButton.textContent = asked;
        askButton.disabled = false;
      });
      // The words measured count half, the drawing put on the page the other half.
      var progress = function (at, total, half) {
        askButton.textContent = busy + ' ' + Math.floor(50 * half + 50 * at / total) + '%';
      };
      // Two frames: the button's new state is on screen before the work starts.
      var frame = window.requestAnimationFrame || function (fn) { setTimeout(fn, 16); };
      frame(function () {
        frame(function () {
          if (halted) return;
          try {
            undo = drawLarge(progress, stopped, function (drawing, show) {
              finish();
              mapped(drawing, show, stopped);
            }, function () { finish(); explain(); });
          } catch (e) {
            finish();
            explain();
          }
        });
      });
    });
  }
  if (askButton && graph.hasAttribute('data-now')) askButton.click();
  if (typeof mermaid !== 'undefined') arrived();
  start();
})();
