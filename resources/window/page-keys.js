// The plan page's keys in the application's window, where the page is one
// stop of the window's Tab order: Tab walks the page's controls (decision
// options, switches, buttons) rather than its thousands of links, F7 walks
// the links, and each stop shows a ring. Runs in a world of its own; the
// window calls step() and enter() and leaves the page when they say false.
(function () {
  'use strict';
  var controls = 'button, summary, input, select, textarea, [tabindex]:not([tabindex="-1"])';
  var links = 'a[href]';
  var ring = 'quarry-keyed';

  // Whether a stop can take the focus. Asking where an element is lays out
  // the card it sits in, which a large plan leaves unlaid while it is off
  // screen: the walk asks only of the stops it passes, never of them all.
  function usable(element) {
    return !element.disabled && element.getClientRects().length > 0 &&
      getComputedStyle(element).visibility !== 'hidden';
  }

  // The first usable stop of `items` from index `from` on, walking forward
  // or back.
  function find(items, from, forward) {
    for (var i = from; i >= 0 && i < items.length; i += forward ? 1 : -1)
      if (usable(items[i])) return items[i];
    return null;
  }

  // The index of the first of `items` (in the page's order) after `node`;
  // one inside it counts as after it.
  function firstAfter(items, node) {
    var low = 0, high = items.length;
    while (low < high) {
      var middle = (low + high) >> 1;
      if (node.compareDocumentPosition(items[middle]) & Node.DOCUMENT_POSITION_FOLLOWING) high = middle;
      else low = middle + 1;
    }
    return low;
  }

  function showRing(element) {
    if (!document.getElementById(ring)) {
      var style = document.createElement('style');
      style.id = ring;
      style.textContent = '.' + ring + ' { outline: 2px solid #0a66d8 !important; outline-offset: 2px !important; }';
      (document.head || document.documentElement).appendChild(style);
    }
    element.classList.add(ring);
    element.addEventListener('blur', function () { element.classList.remove(ring); }, { once: true });
  }

  // The stop after (or before) the focused element in the page's order,
  // also when the focus is on something that is no stop (a link, nothing).
  function next(selector, forward) {
    var items = document.querySelectorAll(selector);
    var active = document.activeElement;
    var at = Array.prototype.indexOf.call(items, active);
    if (at >= 0) return find(items, at + (forward ? 1 : -1), forward);
    if (!active || active === document.body || active === document.documentElement)
      return find(items, forward ? 0 : items.length - 1, forward);
    var after = firstAfter(items, active);
    return find(items, forward ? after : after - 1, forward);
  }

  function focus(element) {
    if (!element) return false;
    element.focus({ preventScroll: true });
    element.scrollIntoView({ block: 'nearest', inline: 'nearest' });
    showRing(element);
    return document.activeElement === element;
  }

  window.quarryKeys = Object.freeze({
    // Moves to the next control (or link); false at the page's end.
    step: function (forward, toLinks) { return focus(next(toLinks ? links : controls, forward)); },
    // The focus comes into the page from the window: its first or last control.
    enter: function (forward) {
      var items = document.querySelectorAll(controls);
      return focus(find(items, forward ? 0 : items.length - 1, forward));
    }
  });
})();
